#pragma once

#include <QByteArray>
#include <QString>

// Settings fixed when the launcher is built; there is no run-time configuration.
namespace BuildConfig
{
// The update server's base address, e.g. "https://updates.example/update" (no trailing slash).
QString updateBaseUrl();
// PEM certificates trusted in addition to the system roots; empty in a normal build.
QByteArray extraCaCertificates();
} // namespace BuildConfig
