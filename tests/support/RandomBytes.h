#pragma once

#include <QByteArray>

// Reproducible pseudo-random test data: the same size and seed always give the same bytes.
QByteArray randomBytes(qsizetype size, quint32 seed);
