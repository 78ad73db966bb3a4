#pragma once

#include "RetryPolicy.h"

#include <QByteArray>
#include <QString>

// Settings fixed when the launcher is built; there is no run-time configuration.
namespace BuildConfig
{
// The update server's base address, e.g. "https://updates.example/update" (no trailing slash).
QString updateBaseUrl();
// PEM certificates trusted in addition to the system roots; empty in a normal build.
QByteArray extraCaCertificates();
// The pauses between attempts and the stall window: the real ones, or shortened in the test build.
const RetryPolicy& retryPolicy();
} // namespace BuildConfig
