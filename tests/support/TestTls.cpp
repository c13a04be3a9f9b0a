#include "support/TestTls.h"

#include "DemoCertificates.h"

namespace velmora::test {

TestTls::TestTls() {
    demo::TlsFiles files = demo::ensureCertificates(folder_.path(), {"127.0.0.1", "localhost"});
    caFile_ = files.caCertificate;
    certificateFile_ = files.serverCertificate;
    privateKeyFile_ = files.serverKey;
}

const TestTls& TestTls::shared() {
    static const TestTls tls;
    return tls;
}

}  // namespace velmora::test
