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

// Pauses that hold back the parse of the install receipt or of a downloaded manifest, so that a
// test can have either arrive first. Only the test build reads them (from the environment,
// PELWINTER_TEST_RECEIPT_PARSE_DELAY_MS and PELWINTER_TEST_MANIFEST_PARSE_DELAY_MS); they are
// zero in every other build.
struct ParseDelays
{
    int receiptMSecs = 0;
    int manifestMSecs = 0;
};
const ParseDelays& parseDelays();
} // namespace BuildConfig
