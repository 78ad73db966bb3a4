#include "BuildCaCertificates.h"

#include "BuildConfig.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <sys/mman.h>
#include <unistd.h>

namespace
{
// Adds the certificates to config the one way that keeps the system's roots loaded on demand,
// from the hashed certificate folders as the handshake needs them: from a file. Any other way of
// adding them makes the configuration's own list the only one, and listing every system root
// explicitly costs a tenth of a second or more at every start. The file is an unnamed one in memory;
// false when there is none to be had.
bool addFromMemoryFile(QSslConfiguration& config, const QByteArray& pem)
{
    const int fd = ::memfd_create("pelwinter-ca", MFD_CLOEXEC);
    if (fd < 0)
        return false;
    bool added = false;
    if (::write(fd, pem.constData(), size_t(pem.size())) == pem.size())
        added = config.addCaCertificates(QString("/proc/self/fd/%1").arg(fd), QSsl::Pem);
    ::close(fd);
    return added;
}
} // namespace

int installBuildCaCertificates()
{
    const QByteArray pem = BuildConfig::extraCaCertificates();
    const QList<QSslCertificate> extra = QSslCertificate::fromData(pem, QSsl::Pem);
    if (extra.isEmpty())
        return 0;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (!addFromMemoryFile(config, pem)) {
        // The slow way: the system roots listed explicitly and the build's certificates appended.
        config.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
    }
    QSslConfiguration::setDefaultConfiguration(config);
    return int(extra.size());
}
