#pragma once
// Self-signed RSA certificates made at test time, for the TLS listeners of
// test servers. Nothing verifies them; an expired one must work just as well.

#include <string>

struct TestCertificate {
  std::string KeyFile;
  std::string CertFile;
};

// Writes key and certificate (PEM) into dir; throws std::runtime_error on failure.
TestCertificate MakeSelfSignedCertificate(const std::string &dir, bool expired = false);
