#include "TestPki.h"

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <stdexcept>

namespace kestrel::test {

namespace {

const char kOpensslConfig[] = R"(
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
)";

class PkiMaker {
public:
    PkiMaker()
    {
        if (!m_dir.isValid())
            throw std::runtime_error("cannot create a temporary folder for the test certificates");
        QFile config(path("openssl.cnf"));
        if (!config.open(QIODevice::WriteOnly) || config.write(kOpensslConfig) < 0)
            throw std::runtime_error("cannot write the openssl configuration");
        config.close();
        makeCa("ca", "Kestrel Test CA");
        makeCa("other-ca", "Kestrel Untrusted CA");
        result.trusted = makeServer("server", "ca", 1);
        result.untrusted = makeServer("other-server", "other-ca", 2);
        result.ca = QSslCertificate::fromPath(path("ca.pem"));
        result.caPemPath = path("ca.pem");
        if (result.ca.isEmpty())
            throw std::runtime_error("the test CA certificate cannot be read");
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    TestPki result;

private:
    void openssl(const QStringList &arguments) const
    {
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.start(QStringLiteral("openssl"), arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            throw std::runtime_error("openssl " + arguments.join(' ').toStdString() + " failed: "
                                     + process.readAllStandardError().toStdString());
        }
    }

    static QStringList newEcKey()
    {
        return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    }

    void makeCa(const QString &name, const QString &commonName) const
    {
        openssl(QStringList{"req", "-x509", "-config", "openssl.cnf", "-extensions", "ca_ext"} + newEcKey()
                + QStringList{"-keyout", name + ".key", "-out", name + ".pem", "-days", "30", "-subj",
                              "/CN=" + commonName});
    }

    ServerIdentity makeServer(const QString &name, const QString &caName, int serial) const
    {
        openssl(QStringList{"req", "-new", "-config", "openssl.cnf"} + newEcKey()
                + QStringList{"-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=127.0.0.1"});
        openssl({"x509", "-req", "-in", name + ".csr", "-CA", caName + ".pem", "-CAkey", caName + ".key",
                 "-set_serial", QString::number(serial), "-days", "30", "-extfile", "openssl.cnf",
                 "-extensions", "server_ext", "-out", name + ".pem"});
        ServerIdentity identity;
        const QList<QSslCertificate> chain = QSslCertificate::fromPath(path(name + ".pem"));
        QFile keyFile(path(name + ".key"));
        if (chain.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
            throw std::runtime_error("the test server certificate cannot be read");
        identity.certificate = chain.first();
        identity.key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
        if (identity.key.isNull())
            throw std::runtime_error("the test server key cannot be read");
        return identity;
    }

    QTemporaryDir m_dir;
};

} // namespace

const TestPki &testPki()
{
    // The folder holds the keys for the whole process; it goes when the process ends.
    static PkiMaker maker;
    return maker.result;
}

} // namespace kestrel::test
