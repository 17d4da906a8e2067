#include "TestCerts.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
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

template <typename T> T ReadPem(const std::string &path, T (*read)(FILE *, T *, pem_password_cb *, void *)) {
  FILE *f = std::fopen(path.c_str(), "r");
  Check(f != nullptr, "cannot open file");
  T value = read(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  Check(value != nullptr, "cannot read PEM");
  return value;
}

void AddExtension(X509 *cert, X509 *issuer, int nid, const std::string &value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A new certificate for a new key, valid for a year or, when expired, from two
// days ago until yesterday; signed by the issuer's key, or by its own.
CertPtr NewCertificate(EVP_PKEY *key, const std::string &commonName, bool expired, long serial) {
  CertPtr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  const long day = 24L * 3600;
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), expired ? -2 * day : -day);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), expired ? -day : 365 * day);
  X509_set_pubkey(cert.get(), key);
  X509_NAME *name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(commonName.c_str()),
                             -1, -1, 0);
  return cert;
}

TestCertificate Save(const std::string &dir, const std::string &stem, EVP_PKEY *key, X509 *cert) {
  TestCertificate out{dir + "/" + stem + ".key", dir + "/" + stem + ".crt"};
  WritePem(out.KeyFile, [&](FILE *f) { return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr); });
  WritePem(out.CertFile, [&](FILE *f) { return PEM_write_X509(f, cert); });
  return out;
}

} // namespace

TestCertificate MakeSelfSignedCertificate(const std::string &dir, bool expired) {
  KeyPtr key(EVP_RSA_gen(2048));
  Check(key != nullptr, "key generation");
  CertPtr cert = NewCertificate(key.get(), "localhost", expired, expired ? 2 : 1);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");
  return Save(dir, expired ? "expired" : "server", key.get(), cert.get());
}

TestAuthority::TestAuthority(const std::string &dir, const std::string &name) : FDir(dir) {
  std::filesystem::create_directories(dir);
  KeyPtr key(EVP_RSA_gen(2048));
  Check(key != nullptr, "key generation");
  CertPtr cert = NewCertificate(key.get(), name, false, 1);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");
  FCert = Save(dir, "ca", key.get(), cert.get());
}

TestCertificate TestAuthority::Issue(const TestCertSpec &wanted) const {
  KeyPtr caKey(ReadPem<EVP_PKEY *>(FCert.KeyFile, PEM_read_PrivateKey));
  CertPtr caCert(ReadPem<X509 *>(FCert.CertFile, PEM_read_X509));
  static long serial = 100;
  KeyPtr key(EVP_RSA_gen(2048));
  Check(key != nullptr, "key generation");
  CertPtr cert = NewCertificate(key.get(), wanted.CommonName, wanted.Expired, ++serial);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert.get()));
  AddExtension(cert.get(), caCert.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), caCert.get(), NID_ext_key_usage, wanted.ForClient ? "clientAuth" : "serverAuth");
  std::string sans;
  for (const auto &dns : wanted.DnsNames) sans += (sans.empty() ? "DNS:" : ",DNS:") + dns;
  for (const auto &ip : wanted.IpAddresses) sans += (sans.empty() ? "IP:" : ",IP:") + ip;
  if (!sans.empty()) AddExtension(cert.get(), caCert.get(), NID_subject_alt_name, sans);
  Check(X509_sign(cert.get(), caKey.get(), EVP_sha256()) > 0, "signing");
  return Save(FDir, wanted.Stem, key.get(), cert.get());
}
