#pragma once
// RSA certificates made at test time: self-signed ones for TLS listeners that
// nobody verifies, and a private certificate authority with server and client
// certificates it signs, for the verification tests.

#include <string>
#include <vector>

struct TestCertificate {
  std::string KeyFile;
  std::string CertFile;
};

// Writes key and certificate (PEM) into dir; throws std::runtime_error on failure.
TestCertificate MakeSelfSignedCertificate(const std::string &dir, bool expired = false);

// What a certificate signed by a TestAuthority says about its holder.
struct TestCertSpec {
  std::string Stem;                      // file names: Stem.key, Stem.crt
  std::string CommonName;
  std::vector<std::string> DnsNames;     // subjectAltName DNS entries
  std::vector<std::string> IpAddresses;  // subjectAltName IP entries ("127.0.0.1", "::1")
  bool Expired = false;                  // ran from two days ago until yesterday
  bool ForClient = false;                // extended key usage clientAuth instead of serverAuth
};

// A private certificate authority in dir (ca.key, ca.crt); dir is created
// when missing.
class TestAuthority {
public:
  explicit TestAuthority(const std::string &dir, const std::string &name = "Vyr Test CA");
  const std::string &CertFile() const { return FCert.CertFile; }
  TestCertificate Issue(const TestCertSpec &wanted) const;

private:
  std::string FDir;
  TestCertificate FCert;
};
