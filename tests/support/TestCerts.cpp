#include "TestCerts.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

template <typename T, void (*Free)(T *)> struct Deleter {
  void operator()(T *p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

void Check(bool ok, const char *what) {
  if (!ok) throw std::runtime_error(std::string("certificate: ") + what);
}

void WritePem(const std::string &path, auto write) {
  FILE *f = std::fopen(path.c_str(), "w");
  Check(f != nullptr, "cannot create file");
  bool ok = write(f) == 1;
  std::fclose(f);
  Check(ok, "cannot write PEM");
}

} // namespace

TestCertificate MakeSelfSignedCertificate(const std::string &dir, bool expired) {
  KeyPtr key(EVP_RSA_gen(2048));
  Check(key != nullptr, "key generation");
  CertPtr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), expired ? 2 : 1);
  const long day = 24L * 3600;
  // An expired certificate ran from two days ago until yesterday.
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), expired ? -2 * day : -day);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), expired ? -day : 365 * day);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME *name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");

  TestCertificate out{dir + (expired ? "/expired.key" : "/server.key"),
                      dir + (expired ? "/expired.crt" : "/server.crt")};
  WritePem(out.KeyFile, [&](FILE *f) {
    return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  WritePem(out.CertFile, [&](FILE *f) { return PEM_write_X509(f, cert.get()); });
  return out;
}
