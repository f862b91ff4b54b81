// Certificate contexts, X.500 name text, chains and the SSL policy, through
// the CryptoAPI calls, on the certificates of tests/support/test_ca.sh.
#include "platform/certificates.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/text.h"

namespace {

std::string caFile(const std::string& name) {
  const char* dir = std::getenv("TW_TEST_CA");
  return std::string(dir != nullptr ? dir : "<TW_TEST_CA unset>") + "/" + name;
}

// The DER certificates of a PEM file, in file order.
std::vector<std::string> readPem(const std::string& name) {
  std::vector<std::string> ders;
  FILE* f = std::fopen(caFile(name).c_str(), "r");
  while (X509* x = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr) {
    unsigned char* out = nullptr;
    int len = i2d_X509(x, &out);
    ders.emplace_back(reinterpret_cast<char*>(out), static_cast<size_t>(len));
    OPENSSL_free(out);
    X509_free(x);
  }
  if (f != nullptr) std::fclose(f);
  return ders;
}

// CertNameToStrA as the TLS layer calls it: the text, or "<none>" when none
// was written.
std::string nameText(CERT_NAME_BLOB name) {
  std::string text(2000, '\x7f');
  const DWORD n = CertNameToStrA(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR |
                                 CERT_NAME_STR_NO_PLUS_FLAG, text.data(), 2000);
  if (n == 0 || n > 2000) return "<none>";
  return text.substr(0, n - 1) + (text[n - 1] == '\0' ? "" : "<no terminator>");
}

std::string hex(DWORD v) { return (std::ostringstream() << "0x" << std::hex << v).str(); }

enum class Trust { File, Dir, None };

// What the server sends (PEM file, leaf first), with the leaf's names.
struct Sent {
  const char *file, *subject, *issuer;
};

struct ChainCase {
  const char* name;
  Sent sent;
  const char16_t* host;
  DWORD policyFlags;
  Trust trust;
  DWORD status, elements;
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

// One verification, as the TLS layer makes it: the result as text.
std::string verify(const ChainCase& c) {
  std::vector<std::string> sent = readPem(c.sent.file);
  if (sent.empty()) return "no certificates in " + caFile(c.sent.file);
  PCCERT_CONTEXT cert = tw_platform::certContextFromPeer(
      sent[0], std::vector<std::string>(sent.begin() + 1, sent.end()));
  if (cert == nullptr) return "certContextFromPeer failed";
  CERT_CHAIN_PARA para{sizeof(CERT_CHAIN_PARA)};
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  std::string result = "CertGetCertificateChain failed";
  if (CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &para, 0, nullptr,
                              &chain)) {
    std::u16string host = c.host;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof(ssl), AUTHTYPE_SERVER, 0, host.data()};
    CERT_CHAIN_POLICY_PARA policy{sizeof(policy), c.policyFlags, &ssl};
    CERT_CHAIN_POLICY_STATUS status{sizeof(status), 0, 0, 0, nullptr};
    bool checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    result = checked ? hex(status.dwError) : "policy failed";
    result += " " + std::to_string(chain->rgpChain[0]->cElement) + " elements; " +
              nameText(cert->pCertInfo->Subject) + "; " + nameText(cert->pCertInfo->Issuer);
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(cert);
  return result;
}

const char* kLeaf = "C=DE, O=Tarnwick Test, CN=localhost";
const char* kIntermediate = "C=DE, O=Tarnwick Test, CN=Tarnwick Test Intermediate";
const Sent kValid{"valid-chain.pem", kLeaf, kIntermediate};
const Sent kExpired{"expired-chain.pem", kLeaf, kIntermediate};
const Sent kWrongHost{"wronghost-chain.pem", "O=\"Tests, Inc.\", CN=wrong.example", kIntermediate};
const Sent kWildcard{"wildcard-chain.pem", "CN=*.tw.test", kIntermediate};
const Sent kUntrusted{"untrusted-chain.pem", "CN=localhost",
                      "C=DE, O=Elsewhere, CN=Untrusted Test Root"};
const Sent kNoServerAuth{"noserverauth-chain.pem", "CN=localhost", kIntermediate};
const DWORD kOk = 0, kNoRoot = CERT_E_UNTRUSTEDROOT, kNoMatch = CERT_E_CN_NO_MATCH;
const DWORD kIgnoreTime = CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG;
const DWORD kIgnoreUsage = CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG;
const DWORD kAllowUnknownCa = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
const Trust kFile = Trust::File, kDir = Trust::Dir, kNone = Trust::None;

class ChainPolicy : public testing::TestWithParam<ChainCase> {};

// The trust store is loaded once per process: each case verifies in a child
// with its own trust settings, which exits 0 when it got the expected text.
TEST_P(ChainPolicy, StatusAndNames) {
  const ChainCase& c = GetParam();
  std::string expected = hex(c.status) + " " + std::to_string(c.elements) + " elements; " +
                         c.sent.subject + "; " + c.sent.issuer;
  EXPECT_EXIT(
      {
        unsetenv("SSL_CERT_FILE");
        if (c.trust == Trust::File) setenv("SSL_CERT_FILE", caFile("root.pem").c_str(), 1);
        setenv("SSL_CERT_DIR", caFile(c.trust == Trust::Dir ? "trust" : "no-such-dir").c_str(), 1);
        std::string got = verify(c);
        std::fprintf(stderr, "got: %s\n", got.c_str());
        _exit(got == expected ? 0 : 1);
      },
      testing::ExitedWithCode(0), "")
      << "expected: " << expected;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Certificates, ChainPolicy, testing::Values(
    ChainCase{"HostCaseIgnored", kValid, u"LOCALHOST", 0, kDir, kOk, 3},
    ChainCase{"OtherIpAddress", kValid, u"127.0.0.2", 0, kFile, kNoMatch, 3},
    ChainCase{"NoTrustAnchor", kValid, u"localhost", 0, kNone, kNoRoot, 2},
    ChainCase{"NoTrustAnchorAllowed", kValid, u"localhost", kAllowUnknownCa, kNone, kOk, 2},
    ChainCase{"ExpiredBeforeWrongHost", kExpired, u"wrong.host", 0, kDir, CERT_E_EXPIRED, 3},
    ChainCase{"ExpiryIgnoredByPolicyFlag", kExpired, u"localhost", kIgnoreTime, kDir, kOk, 3},
    ChainCase{"WildcardOneLabel", kWildcard, u"www.tw.test", 0, kFile, kOk, 3},
    ChainCase{"WildcardTwoLabels", kWildcard, u"a.www.tw.test", 0, kFile, kNoMatch, 3},
    ChainCase{"WildcardBareDomain", kWildcard, u"tw.test", 0, kFile, kNoMatch, 3},
    ChainCase{"UntrustedBeforeWrongHost", kUntrusted, u"x.y", 0, kDir, kNoRoot, 2},
    ChainCase{"NoServerAuthIgnored", kNoServerAuth, u"localhost", kIgnoreUsage, kFile, kOk, 3}),
    [](const testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });
// clang-format on

// A DER X.500 name from "key=value" attributes separated by "|"; "+" before
// a key puts it into the RDN of the attribute before.
std::string encodeName(const std::string& attributes) {
  X509_NAME* name = X509_NAME_new();
  std::istringstream in(attributes);
  for (std::string a; std::getline(in, a, '|');) {
    size_t from = a[0] == '+' ? 1 : 0, eq = a.find('=');
    X509_NAME_add_entry_by_txt(name, a.substr(from, eq - from).c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(a.c_str() + eq + 1), -1, -1,
                               from == 1 ? -1 : 0);
  }
  unsigned char* der = nullptr;
  int len = i2d_X509_NAME(name, &der);
  X509_NAME_free(name);
  std::string s(reinterpret_cast<char*>(der), static_cast<size_t>(len));
  OPENSSL_free(der);
  return s;
}

TEST(CertNameToStr, KeysOrderAndQuoting) {
  const std::pair<const char*, const char*> cases[] = {
      {"C=DE|ST=BY|L=M\xC3\xBCnchen|street=Weg 1|O=Tw|OU=QA|CN=h|emailAddress=a@b.c",
       "C=DE, S=BY, L=M\xC3\xBCnchen, STREET=Weg 1, O=Tw, OU=QA, CN=h, E=a@b.c"},
      {"CN=z|title=Dr|GN=Ann|initials=AB|SN=Lee|DC=example|serialNumber=42|1.2.3.4=x",
       "CN=z, T=Dr, G=Ann, I=AB, SN=Lee, DC=example, SERIALNUMBER=42, OID.1.2.3.4=x"},
      {"CN=a|+OU=b|O=c", "CN=a OU=b, O=c"},
      {"O=Tests, Inc.|OU=say \"hi\"|CN= pad|L=a+b",
       "O=\"Tests, Inc.\", OU=\"say \"\"hi\"\"\", CN=\" pad\", L=\"a+b\""},
      {"O=x=y|OU=#1|CN=a;b|L=<>|ST=line\nnext|title=end ",
       "O=\"x=y\", OU=\"#1\", CN=\"a;b\", L=\"<>\", S=\"line\nnext\", T=\"end \""},
  };
  for (const auto& [attributes, text] : cases) {
    std::string der = encodeName(attributes);
    EXPECT_EQ(nameText({static_cast<DWORD>(der.size()), reinterpret_cast<BYTE*>(der.data())}),
              text);
  }
}

TEST(CertificateContext, CreateDuplicateFreeAndRefuse) {
  std::string der = readPem("valid.pem").at(0);
  const BYTE* bytes = reinterpret_cast<const BYTE*>(der.data());
  PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, bytes,
                                                  static_cast<DWORD>(der.size()));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c->pbCertEncoded), c->cbCertEncoded), der);
  EXPECT_EQ(c->dwCertEncodingType, static_cast<DWORD>(X509_ASN_ENCODING));
  EXPECT_EQ(CertDuplicateCertificateContext(c), c);
  EXPECT_TRUE(CertFreeCertificateContext(c));
  EXPECT_EQ(nameText(c->pCertInfo->Subject), kLeaf);  // the duplicate keeps it alive
  EXPECT_TRUE(CertFreeCertificateContext(c));

  std::string garbage = der;
  garbage[0] = 0x04;
  const std::tuple<DWORD, std::string, DWORD> refusals[] = {
      {X509_ASN_ENCODING, der.substr(0, der.size() - 1), CRYPT_E_ASN1_EOD},
      {X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, garbage, CRYPT_E_ASN1_BADTAG}};
  for (const auto& [encoding, bytes, error] : refusals) {
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(encoding, reinterpret_cast<const BYTE*>(bytes.data()),
                                           static_cast<DWORD>(bytes.size())),
              nullptr);
    EXPECT_EQ(GetLastError(), error) << bytes.size();
  }
  SetLastError(0);
  EXPECT_EQ(tw_platform::certContextFromPeer(der, {garbage}), nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
}

}  // namespace
