#include "BuildCaCertificates.h"

#include "BuildConfig.h"

#include <QSslCertificate>
#include <QSslConfiguration>

int installBuildCaCertificates()
{
    const QList<QSslCertificate> extra = QSslCertificate::fromData(BuildConfig::extraCaCertificates(), QSsl::Pem);
    if (extra.isEmpty())
        return 0;
    // Adding to the default list would stop the on-demand loading of the system roots, so the
    // system roots are listed explicitly and the build's certificates appended.
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
    QSslConfiguration::setDefaultConfiguration(config);
    return int(extra.size());
}
