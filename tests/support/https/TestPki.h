#pragma once

// The certificates of the local HTTPS test server: two certificate authorities and a server
// certificate for 127.0.0.1 from each, made with the openssl command line once per process.

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

namespace kestrel::test {

struct ServerIdentity {
    QSslCertificate certificate;
    QSslKey key;
};

struct TestPki {
    QList<QSslCertificate> ca; // the authority the tests trust
    ServerIdentity trusted;    // signed by ca
    ServerIdentity untrusted;  // signed by an authority no test trusts
    QString caPemPath;
};

const TestPki &testPki();

} // namespace kestrel::test
