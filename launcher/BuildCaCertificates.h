#pragma once

// Makes every TLS connection of the process trust the certificates compiled into this build
// (BuildConfig::extraCaCertificates()) in addition to the system's roots. Verification itself
// stays on. Returns the number of certificates added.
int installBuildCaCertificates();
