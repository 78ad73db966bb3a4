#include "BuildCaCertificates.h"

#include "BuildConfig.h"

#include <QFuture>
#include <QPromise>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <thread>

namespace
{
std::thread loader;
QFuture<void> installed;
bool pending = false;
} // namespace

int installBuildCaCertificates()
{
    const QList<QSslCertificate> extra = QSslCertificate::fromData(BuildConfig::extraCaCertificates(), QSsl::Pem);
    if (extra.isEmpty())
        return 0;
    waitForBuildCaCertificates();
    QPromise<void> promise;
    installed = promise.future();
    promise.start();
    pending = true;
    loader = std::thread([extra, promise = std::move(promise)]() mutable {
        // Adding to the default list would stop the on-demand loading of the system roots, so the
        // system roots are listed explicitly and the build's certificates appended.
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
        QSslConfiguration::setDefaultConfiguration(config);
        promise.finish();
    });
    return int(extra.size());
}

void whenBuildCaCertificatesInstalled(QObject* context, std::function<void()> then)
{
    if (!pending || installed.isFinished()) {
        then();
        return;
    }
    installed.then(context, [then = std::move(then)] { then(); });
}

void waitForBuildCaCertificates()
{
    if (loader.joinable())
        loader.join();
    pending = false;
}
