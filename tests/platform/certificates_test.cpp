// Certificate contexts, X.500 name text, chains and the SSL policy, through
// the CryptoAPI calls, on the certificates of tests/support/test_ca.sh.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/certificates.h"
#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/text.h"
#include "tests/support/process.h"

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

std::string nameText(const CERT_NAME_BLOB& name) {
  CERT_NAME_BLOB copy = name;
  char text[2000];
  DWORD n = CertNameToStrA(X509_ASN_ENCODING, &copy,
                           CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG, text, sizeof(text));
  return std::string(text, n - 1);
}

enum class Trust { File, Dir, None };

struct ChainCase {
  const char* name;
  const char* sent;  // PEM file of what the server sends, leaf first
  const char16_t* host;
  DWORD policyFlags;
  DWORD sslChecks;
  Trust trust;
  ULONGLONG at;  // FILETIME of the check, 0 for now
  DWORD status;
  DWORD elements;
  const char* subject;
  const char* issuer;
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

// One verification, as the TLS layer makes it: the result as text.
std::string verify(const ChainCase& c) {
  std::vector<std::string> sent = readPem(c.sent);
  if (sent.empty()) return "no certificates in " + caFile(c.sent);
  PCCERT_CONTEXT cert =
      tw_platform::certContextFromPeer(sent[0], std::vector<std::string>(sent.begin() + 1, sent.end()));
  if (cert == nullptr) return "certContextFromPeer failed";
  FILETIME at{static_cast<DWORD>(c.at), static_cast<DWORD>(c.at >> 32)};
  CERT_CHAIN_PARA para{sizeof(CERT_CHAIN_PARA)};
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  std::string result = "CertGetCertificateChain failed";
  if (CertGetCertificateChain(nullptr, cert, c.at != 0 ? &at : nullptr, cert->hCertStore, &para, 0,
                              nullptr, &chain)) {
    std::u16string host = c.host != nullptr ? c.host : u"";
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof(ssl), AUTHTYPE_SERVER, c.sslChecks,
                                         c.host != nullptr ? host.data() : nullptr};
    CERT_CHAIN_POLICY_PARA policy{sizeof(policy), c.policyFlags, &ssl};
    CERT_CHAIN_POLICY_STATUS status{sizeof(status), 0, 0, 0, nullptr};
    char hex[16];
    bool checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    std::snprintf(hex, sizeof(hex), "0x%x", status.dwError);
    result = checked ? hex : "policy failed";
    result += " " + std::to_string(chain->rgpChain[0]->cElement) + " elements; " +
              nameText(cert->pCertInfo->Subject) + "; " + nameText(cert->pCertInfo->Issuer);
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(cert);
  return result;
}

// The trust store is loaded once per process: each case runs in a child
// with its own trust settings.
std::string verifyInChild(const ChainCase& c) {
  tw_test::TempDir empty;
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    unsetenv("SSL_CERT_FILE");
    if (c.trust == Trust::File) setenv("SSL_CERT_FILE", caFile("root.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", c.trust == Trust::Dir ? caFile("trust").c_str() : empty.path().c_str(), 1);
    std::string r = verify(c);
    ssize_t written = write(fds[1], r.data(), r.size());
    _exit(written == static_cast<ssize_t>(r.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string r;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) r.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return r;
}

const char* kLeaf = "C=DE, O=Tarnwick Test, CN=localhost";
const char* kIntermediate = "C=DE, O=Tarnwick Test, CN=Tarnwick Test Intermediate";
const ULONGLONG k2051 = 0x01F881DD5C644000ULL;  // 2051-01-01, after every validity period

class ChainPolicy : public testing::TestWithParam<ChainCase> {};

TEST_P(ChainPolicy, StatusAndNames) {
  const ChainCase& c = GetParam();
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%x", c.status);
  EXPECT_EQ(verifyInChild(c), std::string(hex) + " " + std::to_string(c.elements) + " elements; " +
                                  c.subject + "; " + c.issuer);
}

const DWORD kOk = 0;
INSTANTIATE_TEST_SUITE_P(
    Certificates, ChainPolicy,
    testing::Values(
        ChainCase{"ValidForLocalhost", "valid-chain.pem", u"localhost", 0, 0, Trust::File, 0, kOk, 3, kLeaf, kIntermediate},
        ChainCase{"ValidFor127001", "valid-chain.pem", u"127.0.0.1", 0, 0, Trust::Dir, 0, kOk, 3, kLeaf, kIntermediate},
        ChainCase{"ValidForIpv6Loopback", "valid-chain.pem", u"::1", 0, 0, Trust::File, 0, kOk, 3, kLeaf, kIntermediate},
        ChainCase{"HostCaseIgnored", "valid-chain.pem", u"LOCALHOST", 0, 0, Trust::Dir, 0, kOk, 3, kLeaf, kIntermediate},
        ChainCase{"OtherIpAddress", "valid-chain.pem", u"127.0.0.2", 0, 0, Trust::File, 0, CERT_E_CN_NO_MATCH, 3, kLeaf,
                  kIntermediate},
        ChainCase{"NoTrustAnchor", "valid-chain.pem", u"localhost", 0, 0, Trust::None, 0, CERT_E_UNTRUSTEDROOT, 2, kLeaf,
                  kIntermediate},
        ChainCase{"NoTrustAnchorAllowed", "valid-chain.pem", u"localhost", CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG, 0,
                  Trust::None, 0, kOk, 2, kLeaf, kIntermediate},
        ChainCase{"CheckedAfterExpiry", "valid-chain.pem", u"localhost", 0, 0, Trust::File, k2051, CERT_E_EXPIRED, 3, kLeaf,
                  kIntermediate},
        ChainCase{"IntermediateNotSent", "valid.pem", u"localhost", 0, 0, Trust::File, 0, CERT_E_UNTRUSTEDROOT, 1, kLeaf,
                  kIntermediate},
        ChainCase{"Expired", "expired-chain.pem", u"localhost", 0, 0, Trust::Dir, 0, CERT_E_EXPIRED, 3, kLeaf,
                  kIntermediate},
        ChainCase{"ExpiredBeforeWrongHost", "expired-chain.pem", u"wrong.host", 0, 0, Trust::Dir, 0, CERT_E_EXPIRED, 3, kLeaf,
                  kIntermediate},
        ChainCase{"ExpiryIgnoredByPolicyFlag", "expired-chain.pem", u"localhost", CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG, 0,
                  Trust::Dir, 0, kOk, 3, kLeaf, kIntermediate},
        ChainCase{"ExpiryIgnoredBySslCheck", "expired-chain.pem", u"localhost", 0, SECURITY_FLAG_IGNORE_CERT_DATE_INVALID,
                  Trust::File, 0, kOk, 3, kLeaf, kIntermediate},
        ChainCase{"WrongHost", "wronghost-chain.pem", u"localhost", 0, 0, Trust::File, 0, CERT_E_CN_NO_MATCH, 3,
                  "O=\"Tests, Inc.\", CN=wrong.example", kIntermediate},
        ChainCase{"WrongHostWithoutName", "wronghost-chain.pem", nullptr, 0, 0, Trust::File, 0, kOk, 3,
                  "O=\"Tests, Inc.\", CN=wrong.example", kIntermediate},
        ChainCase{"WrongHostIgnored", "wronghost-chain.pem", u"localhost", 0, SECURITY_FLAG_IGNORE_CERT_CN_INVALID,
                  Trust::File, 0, kOk, 3, "O=\"Tests, Inc.\", CN=wrong.example", kIntermediate},
        ChainCase{"WildcardOneLabel", "wildcard-chain.pem", u"www.tw.test", 0, 0, Trust::File, 0, kOk, 3, "CN=*.tw.test",
                  kIntermediate},
        ChainCase{"WildcardTwoLabels", "wildcard-chain.pem", u"a.www.tw.test", 0, 0, Trust::File, 0, CERT_E_CN_NO_MATCH, 3,
                  "CN=*.tw.test", kIntermediate},
        ChainCase{"WildcardBareDomain", "wildcard-chain.pem", u"tw.test", 0, 0, Trust::File, 0, CERT_E_CN_NO_MATCH, 3,
                  "CN=*.tw.test", kIntermediate},
        ChainCase{"SelfSigned", "selfsigned-chain.pem", u"localhost", 0, 0, Trust::File, 0, CERT_E_UNTRUSTEDROOT, 1,
                  "CN=localhost", "CN=localhost"},
        ChainCase{"UntrustedRootBeforeWrongHost", "untrusted-chain.pem", u"other.host", 0, 0, Trust::Dir, 0, CERT_E_UNTRUSTEDROOT, 2,
                  "CN=localhost", "C=DE, O=Elsewhere, CN=Untrusted Test Root"},
        ChainCase{"UntrustedRootIgnored", "untrusted-chain.pem", u"localhost", 0, SECURITY_FLAG_IGNORE_UNKNOWN_CA, Trust::Dir,
                  0, kOk, 2, "CN=localhost", "C=DE, O=Elsewhere, CN=Untrusted Test Root"},
        ChainCase{"NoServerAuth", "noserverauth-chain.pem", u"localhost", 0, 0, Trust::File, 0, CERT_E_WRONG_USAGE, 3,
                  "CN=localhost", kIntermediate},
        ChainCase{"NoServerAuthIgnored", "noserverauth-chain.pem", u"localhost", CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG, 0,
                  Trust::File, 0, kOk, 3, "CN=localhost", kIntermediate}),
    [](const testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });

// One X.500 name, built attribute by attribute: "+" before a key puts it
// into the RDN of the one before.
std::string nameToStr(const std::vector<std::pair<std::string, std::string>>& attributes,
                      DWORD strType, DWORD size = 2000, DWORD* result = nullptr) {
  X509_NAME* name = X509_NAME_new();
  for (const auto& [key, value] : attributes) {
    bool same = key[0] == '+';
    X509_NAME_add_entry_by_txt(name, key.c_str() + (same ? 1 : 0), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                               same ? -1 : 0);
  }
  unsigned char* der = nullptr;
  int len = i2d_X509_NAME(name, &der);
  X509_NAME_free(name);
  CERT_NAME_BLOB blob{static_cast<DWORD>(len), der};
  std::string text(size, '\x7f');
  DWORD n = CertNameToStrA(X509_ASN_ENCODING, &blob, strType, size > 0 ? text.data() : nullptr, size);
  OPENSSL_free(der);
  if (result != nullptr) *result = n;
  if (size == 0 || n == 0 || n > size) return "<none>";
  return text.substr(0, n - 1) + (text[n - 1] == '\0' ? "" : "<no terminator>");
}

TEST(CertNameToStr, KeysOrderAndQuoting) {
  const DWORD x500 = CERT_X500_NAME_STR;
  EXPECT_EQ(nameToStr({{"C", "DE"}, {"ST", "Bayern"}, {"L", "M\xC3\xBCnchen"}, {"street", "Weg 1"},
                       {"O", "Tarnwick"}, {"OU", "QA"}, {"CN", "host"}, {"emailAddress", "a@b.c"}},
                      x500),
            "C=DE, S=Bayern, L=M\xC3\xBCnchen, STREET=Weg 1, O=Tarnwick, OU=QA, CN=host, E=a@b.c");
  EXPECT_EQ(nameToStr({{"CN", "z"}, {"title", "Dr"}, {"GN", "Ann"}, {"initials", "AB"}, {"SN", "Lee"},
                       {"DC", "example"}, {"serialNumber", "42"}, {"1.2.3.4", "x"}},
                      x500),
            "CN=z, T=Dr, G=Ann, I=AB, SN=Lee, DC=example, SERIALNUMBER=42, OID.1.2.3.4=x");
  EXPECT_EQ(nameToStr({{"CN", "a"}, {"+OU", "b"}, {"O", "c"}}, x500), "CN=a + OU=b, O=c");
  EXPECT_EQ(nameToStr({{"CN", "a"}, {"+OU", "b"}}, x500 | CERT_NAME_STR_NO_PLUS_FLAG), "CN=a OU=b");
  EXPECT_EQ(nameToStr({{"O", "Tests, Inc."}, {"OU", "say \"hi\""}, {"CN", " pad"}, {"L", "a+b"}}, x500),
            "O=\"Tests, Inc.\", OU=\"say \"\"hi\"\"\", CN=\" pad\", L=\"a+b\"");
  EXPECT_EQ(nameToStr({{"O", "x=y"}, {"OU", "#1"}, {"CN", "a;b"}, {"L", "<>"}, {"ST", "line\nnext"}},
                      x500),
            "O=\"x=y\", OU=\"#1\", CN=\"a;b\", L=\"<>\", S=\"line\nnext\"");
  DWORD n = 0;
  EXPECT_EQ(nameToStr({{"CN", "localhost"}}, x500, 0, &n), "<none>");
  EXPECT_EQ(n, 13u);  // "CN=localhost" and its terminator
  EXPECT_EQ(nameToStr({{"CN", "localhost"}}, x500, 5, &n), "CN=l");
  EXPECT_EQ(n, 5u);
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
  EXPECT_FALSE(CertCloseStore(c->hCertStore, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(GetLastError(), CRYPT_E_PENDING_CLOSE);
  EXPECT_TRUE(CertFreeCertificateContext(c));

  struct Refusal {
    DWORD encoding;
    std::string bytes;
    DWORD error;
  };
  std::string garbage = der;
  garbage[0] = 0x04;
  for (const Refusal& r : {Refusal{X509_ASN_ENCODING, der.substr(0, der.size() - 1), CRYPT_E_ASN1_EOD},
                           Refusal{X509_ASN_ENCODING, garbage, CRYPT_E_ASN1_BADTAG},
                           Refusal{PKCS_7_ASN_ENCODING, der, E_INVALIDARG}}) {
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(r.encoding, reinterpret_cast<const BYTE*>(r.bytes.data()),
                                           static_cast<DWORD>(r.bytes.size())),
              nullptr);
    EXPECT_EQ(GetLastError(), r.error) << r.bytes.size();
  }
  SetLastError(0);
  EXPECT_EQ(tw_platform::certContextFromPeer(der, {garbage}), nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
}

TEST(CertificateContext, Crypt32OffersTheEntryPoints) {
  HMODULE crypt32 = LoadLibraryA("crypt32.dll");
  ASSERT_NE(crypt32, nullptr);
  EXPECT_EQ(GetProcAddress(crypt32, "CertNameToStrA"), reinterpret_cast<FARPROC>(&CertNameToStrA));
  EXPECT_EQ(GetProcAddress(crypt32, "CertVerifyCertificateChainPolicy"),
            reinterpret_cast<FARPROC>(&CertVerifyCertificateChainPolicy));
  EXPECT_EQ(GetProcAddress(crypt32, "CertOpenSystemStoreA"), nullptr);
  EXPECT_TRUE(FreeLibrary(crypt32));
}

}  // namespace
