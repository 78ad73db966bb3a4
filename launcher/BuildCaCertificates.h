#pragma once

#include <QObject>
#include <functional>

// Makes every TLS connection of the process trust the certificates compiled into this build
// (BuildConfig::extraCaCertificates()) in addition to the system's roots. Verification itself
// stays on. Returns the number of certificates added.
//
// Listing the system's roots takes a good part of a second's start-up, so it is done on a thread
// of its own and nothing waits for it but the first request: a request takes its copy of the TLS
// settings when it is made, so whatever starts one goes through whenBuildCaCertificatesInstalled.
// waitForBuildCaCertificates() is called before the process ends. A build that adds no certificate
// starts no thread, and then nothing ever waits.
int installBuildCaCertificates();

// Calls then on context's thread once the certificates are in place: at once when they are or
// none are being added, else from context's event loop. Dropped when context goes first.
void whenBuildCaCertificatesInstalled(QObject* context, std::function<void()> then);

// Waits for the listing of the roots to end (it is in place afterwards).
void waitForBuildCaCertificates();
