// A self-signed certificate and key for "localhost" in a scratch directory,
// for tests that speak TLS on loopback.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace testsupport {

struct TlsCert {
    std::string cert, key;
    TlsCert()
    {
        char dir[] = "/tmp/linegw-tls-XXXXXX";
        std::string d = mkdtemp(dir);
        cert = d + "/cert.pem";
        key = d + "/key.pem";
        EVP_PKEY* pkey = EVP_EC_gen("P-256");
        X509* x = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), -60);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600);
        X509_set_pubkey(x, pkey);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1,
                                   -1, 0);
        X509_set_issuer_name(x, name);
        X509_sign(x, pkey, EVP_sha256());
        FILE* f = fopen(cert.c_str(), "w");
        PEM_write_X509(f, x);
        fclose(f);
        f = fopen(key.c_str(), "w");
        PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr);
        fclose(f);
        X509_free(x);
        EVP_PKEY_free(pkey);
    }
    ~TlsCert()
    {
        std::string d = cert.substr(0, cert.rfind('/'));
        unlink(cert.c_str());
        unlink(key.c_str());
        rmdir(d.c_str());
    }
    TlsCert(const TlsCert&) = delete;
    TlsCert& operator=(const TlsCert&) = delete;
};

}  // namespace testsupport
