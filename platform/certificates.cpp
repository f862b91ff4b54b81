// CryptoAPI certificate functions on OpenSSL X509.
#include "platform/certificates.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <type_traits>
#include <utility>

#include "platform/errors.h"
#include "platform/text.h"

namespace {

// A memory store: the certificates it holds, alive as long as a context in
// it is.
struct Store {
  std::atomic<int> contexts{0};
  std::vector<X509*> certs;
  ~Store() {
    for (X509* x : certs) X509_free(x);
  }
};

// A context. The public structure comes first, so that a PCCERT_CONTEXT
// handed out is the address of its Context.
struct ContextBody {
  std::atomic<int> refs{1};
  X509* x509;
  Store* store;
  std::string der, issuer, subject;
};

struct Context {
  CERT_CONTEXT pub;
  CERT_INFO info;
  ContextBody* body;
};
static_assert(std::is_standard_layout_v<Context>);

Context* contextOf(PCCERT_CONTEXT p) {
  return reinterpret_cast<Context*>(const_cast<CERT_CONTEXT*>(p));
}

std::string encodeName(const X509_NAME* name) {
  unsigned char* out = nullptr;
  int len = i2d_X509_NAME(name, &out);
  std::string s =
      len > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(len)) : "";
  OPENSSL_free(out);
  return s;
}

void setBlob(CERT_NAME_BLOB& blob, std::string& bytes) {
  blob.cbData = static_cast<DWORD>(bytes.size());
  blob.pbData = reinterpret_cast<BYTE*>(bytes.data());
}

// A context for x (whose reference it takes over) in the store, with der as
// its encoded form.
PCCERT_CONTEXT newContext(X509* x, Store* store, std::string der) {
  auto* b = new ContextBody{};
  b->x509 = x;
  b->store = store;
  store->contexts.fetch_add(1);
  b->der = std::move(der);
  b->issuer = encodeName(X509_get_issuer_name(x));
  b->subject = encodeName(X509_get_subject_name(x));
  auto* c = new Context{};
  c->body = b;
  setBlob(c->info.Issuer, b->issuer);
  setBlob(c->info.Subject, b->subject);
  c->pub.dwCertEncodingType = X509_ASN_ENCODING;
  c->pub.pbCertEncoded = reinterpret_cast<BYTE*>(b->der.data());
  c->pub.cbCertEncoded = static_cast<DWORD>(b->der.size());
  c->pub.pCertInfo = &c->info;
  c->pub.hCertStore = store;
  return &c->pub;
}

// A context for x (whose reference it takes over) in a store of its own.
PCCERT_CONTEXT contextInOwnStore(X509* x, std::string der) {
  auto* store = new Store;
  X509_up_ref(x);
  store->certs.push_back(x);
  return newContext(x, store, std::move(der));
}

void releaseContext(Context* c) {
  ContextBody* b = c->body;
  if (b->refs.fetch_sub(1) != 1) return;
  X509_free(b->x509);
  if (b->store->contexts.fetch_sub(1) == 1) delete b->store;
  delete b;
  delete c;
}

// Reads one DER certificate; the error is the CryptoAPI status.
X509* parseDer(const BYTE* p, size_t n, std::string* der, DWORD* error) {
  const unsigned char* q = p;
  ERR_clear_error();
  X509* x = n > 0 && n <= 0x7fffffff ? d2i_X509(nullptr, &q, static_cast<long>(n)) : nullptr;
  if (x == nullptr) {
    // A header announcing more than there is: the data ended early.
    int reason = ERR_GET_REASON(ERR_peek_error());
    bool early = reason == ASN1_R_TOO_LONG || reason == ASN1_R_HEADER_TOO_LONG;
    ERR_clear_error();
    *error = n > 0 && early ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_BADTAG;
    return nullptr;
  }
  der->assign(reinterpret_cast<const char*>(p), static_cast<size_t>(q - p));
  return x;
}

// The trust store: SSL_CERT_FILE when set, and the hashed directory
// (SSL_CERT_DIR, else the system's), searched by subject hash on demand.
// Made once per process, at the first chain built.
X509_STORE* trustStore() {
  static X509_STORE* store = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    store = X509_STORE_new();
    const char* file = std::getenv("SSL_CERT_FILE");
    // A file that cannot be read adds nothing to the trust.
    if (file != nullptr && *file != '\0') X509_STORE_load_file(store, file);
    const char* dir = std::getenv("SSL_CERT_DIR");
    if (dir == nullptr || *dir == '\0') dir = X509_get_default_cert_dir();
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    if (lookup != nullptr) X509_LOOKUP_add_dir(lookup, dir, X509_FILETYPE_PEM);
    ERR_clear_error();
  });
  return store;
}

// The CERT_TRUST_* error of an OpenSSL verification error.
DWORD trustError(int err) {
  switch (err) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_TRUST_IS_NOT_TIME_VALID;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
    case X509_V_ERR_CA_MD_TOO_WEAK:
    case X509_V_ERR_CA_KEY_TOO_SMALL:
    case X509_V_ERR_EE_KEY_TOO_SMALL:
      return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CERT_TRUST_IS_UNTRUSTED_ROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return CERT_TRUST_IS_PARTIAL_CHAIN;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_PROXY_PATH_LENGTH_EXCEEDED:
      return CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    case X509_V_ERR_INVALID_PURPOSE:
      return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
      return CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT;
    case X509_V_ERR_PERMITTED_VIOLATION:
    case X509_V_ERR_EXCLUDED_VIOLATION:
    case X509_V_ERR_SUBTREE_MINMAX:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
    case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
      return CERT_TRUST_INVALID_NAME_CONSTRAINTS;
    case X509_V_ERR_INVALID_POLICY_EXTENSION:
    case X509_V_ERR_NO_EXPLICIT_POLICY:
      return CERT_TRUST_INVALID_POLICY_CONSTRAINTS;
    default:
      return CERT_TRUST_INVALID_EXTENSION;
  }
}

// What the verification callback collects: the CERT_TRUST_* errors by chain
// depth, and those of the chain as a whole.
struct Findings {
  std::vector<DWORD> byDepth;
  DWORD chain = 0;
};

int recordError(int ok, X509_STORE_CTX* ctx) {
  int err = X509_STORE_CTX_get_error(ctx);
  if (ok == 0 || err != X509_V_OK) {
    auto* f = static_cast<Findings*>(X509_STORE_CTX_get_app_data(ctx));
    DWORD flag = trustError(err);
    if (flag == CERT_TRUST_IS_PARTIAL_CHAIN) {
      f->chain |= flag;
    } else {
      size_t depth = static_cast<size_t>(std::max(0, X509_STORE_CTX_get_error_depth(ctx)));
      if (f->byDepth.size() <= depth) f->byDepth.resize(depth + 1, 0);
      f->byDepth[depth] |= flag;
    }
  }
  // Go on: every error of the chain is recorded, the policy judges them.
  return 1;
}

// A chain context and everything it points at, in one allocation.
struct ChainElements {
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<PCERT_CHAIN_ELEMENT> pointers;
};

struct Chain {
  CERT_CHAIN_CONTEXT ctx;
  CERT_SIMPLE_CHAIN simple;
  PCERT_SIMPLE_CHAIN simplePtr;
  ChainElements* body;
};
static_assert(std::is_standard_layout_v<Chain>);

time_t unixTime(const FILETIME* ft) {
  ULONGLONG t = (static_cast<ULONGLONG>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
  const ULONGLONG epoch = 116444736000000000ULL;  // 1970-01-01 in FILETIME units
  return t < epoch ? 0 : static_cast<time_t>((t - epoch) / 10000000ULL);
}

// X.500 keys of the attribute types, as Windows writes them.
const char* x500Key(int nid) {
  switch (nid) {
    case NID_commonName:
      return "CN";
    case NID_localityName:
      return "L";
    case NID_organizationName:
      return "O";
    case NID_organizationalUnitName:
      return "OU";
    case NID_pkcs9_emailAddress:
      return "E";
    case NID_countryName:
      return "C";
    case NID_stateOrProvinceName:
      return "S";
    case NID_streetAddress:
      return "STREET";
    case NID_title:
      return "T";
    case NID_givenName:
      return "G";
    case NID_initials:
      return "I";
    case NID_surname:
      return "SN";
    case NID_domainComponent:
      return "DC";
    case NID_serialNumber:
      return "SERIALNUMBER";
    case NID_description:
      return "Description";
    case NID_postalCode:
      return "PostalCode";
    case NID_postOfficeBox:
      return "POBox";
    case NID_telephoneNumber:
      return "Phone";
    case NID_x121Address:
      return "X21Address";
    case NID_dnQualifier:
      return "dnQualifier";
    case NID_pkcs9_unstructuredName:
      return "UnstructuredName";
    case NID_pkcs9_unstructuredAddress:
      return "UnstructuredAddress";
    default:
      return nullptr;
  }
}

std::string attributeKey(const ASN1_OBJECT* obj) {
  if (const char* key = x500Key(OBJ_obj2nid(obj))) return key;
  char oid[128];
  OBJ_obj2txt(oid, sizeof(oid), obj, 1);
  return std::string("OID.") + oid;
}

// A string value as UTF-8; any other type as "#" and the hex of its
// encoding.
std::string attributeValue(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, value);
  if (len >= 0) {
    std::string s(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
    OPENSSL_free(utf8);
    return s;
  }
  ERR_clear_error();
  std::string s = "#";
  static const char kHex[] = "0123456789ABCDEF";
  const unsigned char* p = ASN1_STRING_get0_data(value);
  for (int i = 0; i < ASN1_STRING_length(value); ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

// Windows quotes a value that is empty, starts or ends with a blank, or holds
// one of , + = " newline < > # ; and doubles the quotes inside.
std::string quoted(const std::string& v) {
  bool quote = v.empty() || v.front() == ' ' || v.back() == ' ' ||
               v.find_first_of(",+=\"\n<>#;") != std::string::npos;
  if (!quote) return v;
  std::string s = "\"";
  for (char c : v) {
    s += c;
    if (c == '"') s += '"';
  }
  return s + "\"";
}

std::string nameText(const X509_NAME* name, DWORD strType) {
  std::string s;
  int lastSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    int set = X509_NAME_ENTRY_set(e);
    if (i > 0) s += set != lastSet ? ", " : (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? " " : " + ";
    lastSet = set;
    s += attributeKey(X509_NAME_ENTRY_get_object(e)) + "=" +
         quoted(attributeValue(X509_NAME_ENTRY_get_data(e)));
  }
  return s;
}

// The host name check of the SSL policy.
bool nameMatches(X509* cert, const std::string& host) {
  std::string h = host;
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  unsigned char ip[16];
  bool isIp = inet_pton(AF_INET, h.c_str(), ip) == 1 || inet_pton(AF_INET6, h.c_str(), ip) == 1;
  bool hasSan = X509_get_ext_by_NID(cert, NID_subject_alt_name, -1) >= 0;
  if (hasSan) {
    if (isIp) return X509_check_ip_asc(cert, h.c_str(), 0) == 1;
    return X509_check_host(
               cert, h.data(), h.size(),
               X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
               nullptr) == 1;
  }
  if (!isIp) {
    return X509_check_host(
               cert, h.data(), h.size(),
               X509_CHECK_FLAG_ALWAYS_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
               nullptr) == 1;
  }
  // An IP literal against a certificate without alternative names: the CN
  // as text.
  const X509_NAME* subject = X509_get_subject_name(cert);
  for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) >= 0;) {
    if (tw_platform::equalsNoCase(
            attributeValue(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i))), h)) {
      return true;
    }
  }
  return false;
}

// The leaf has an extended key usage without server authentication.
bool wrongUsage(X509* leaf) {
  return (X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) != 0 &&
         (X509_get_extended_key_usage(leaf) & XKU_SSL_SERVER) == 0;
}

// The first element carrying one of the flags, or the last one.
LONG elementWith(const CERT_SIMPLE_CHAIN* chain, DWORD flags) {
  for (DWORD i = 0; i < chain->cElement; ++i) {
    if (chain->rgpElement[i]->TrustStatus.dwErrorStatus & flags) return static_cast<LONG>(i);
  }
  return static_cast<LONG>(chain->cElement) - 1;
}

}  // namespace

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 || pbCertEncoded == nullptr) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  std::string der;
  DWORD error = 0;
  X509* x = parseDer(pbCertEncoded, cbCertEncoded, &der, &error);
  if (x == nullptr) {
    SetLastError(error);
    return nullptr;
  }
  return contextInOwnStore(x, std::move(der));
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (pCertContext != nullptr) contextOf(pCertContext)->body->refs.fetch_add(1);
  return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (pCertContext != nullptr) releaseContext(contextOf(pCertContext));
  return TRUE;
}

DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz) {
  std::string text;
  const unsigned char* p = pName != nullptr ? pName->pbData : nullptr;
  X509_NAME* name = nullptr;
  if ((dwCertEncodingType & X509_ASN_ENCODING) != 0 && p != nullptr &&
      (dwStrType & 0xff) == CERT_X500_NAME_STR) {
    name = d2i_X509_NAME(nullptr, &p, static_cast<long>(pName->cbData));
  }
  if (name != nullptr) {
    text = nameText(name, dwStrType);
    X509_NAME_free(name);
  } else {
    ERR_clear_error();
    SetLastError(E_INVALIDARG);
  }
  DWORD needed = static_cast<DWORD>(text.size()) + 1;
  if (psz == nullptr || csz == 0) return needed;
  DWORD n = std::min(needed, csz);
  std::memcpy(psz, text.data(), n - 1);
  psz[n - 1] = '\0';
  return n;
}

BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             LPFILETIME pTime, HCERTSTORE hAdditionalStore,
                             PCERT_CHAIN_PARA pChainPara, DWORD, LPVOID,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
  if (ppChainContext != nullptr) *ppChainContext = nullptr;
  if (hChainEngine != nullptr || pCertContext == nullptr || pChainPara == nullptr ||
      ppChainContext == nullptr) {
    SetLastError(E_INVALIDARG);
    return FALSE;
  }
  X509* leaf = contextOf(pCertContext)->body->x509;
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  if (hAdditionalStore != nullptr) {
    for (X509* x : static_cast<Store*>(hAdditionalStore)->certs) sk_X509_push(untrusted, x);
  }
  X509_STORE_CTX* vctx = X509_STORE_CTX_new();
  Findings findings;
  STACK_OF(X509)* built = nullptr;
  if (vctx != nullptr && X509_STORE_CTX_init(vctx, trustStore(), leaf, untrusted) == 1) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(vctx);
    X509_VERIFY_PARAM_set_time(param, pTime != nullptr ? unixTime(pTime) : std::time(nullptr));
    X509_STORE_CTX_set_app_data(vctx, &findings);
    X509_STORE_CTX_set_verify_cb(vctx, recordError);
    X509_verify_cert(vctx);
    built = X509_STORE_CTX_get1_chain(vctx);
  }
  X509_STORE_CTX_free(vctx);
  sk_X509_free(untrusted);
  ERR_clear_error();
  if (built == nullptr || sk_X509_num(built) == 0) {
    sk_X509_pop_free(built, X509_free);
    SetLastError(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    return FALSE;
  }

  auto* chain = new Chain{};
  int n = sk_X509_num(built);
  chain->body = new ChainElements{std::vector<CERT_CHAIN_ELEMENT>(static_cast<size_t>(n)),
                                  std::vector<PCERT_CHAIN_ELEMENT>(static_cast<size_t>(n))};
  // Errors recorded beyond the chain's end belong to its last element.
  std::vector<DWORD>& byDepth = findings.byDepth;
  for (size_t d = static_cast<size_t>(n); d < byDepth.size(); ++d) byDepth[n - 1] |= byDepth[d];
  byDepth.resize(static_cast<size_t>(n), 0);
  DWORD all = findings.chain;
  for (int i = 0; i < n; ++i) {
    CERT_CHAIN_ELEMENT& e = chain->body->elements[static_cast<size_t>(i)];
    X509* x = sk_X509_value(built, i);
    e.cbSize = sizeof(e);
    if (i == 0) {
      e.pCertContext = CertDuplicateCertificateContext(pCertContext);
    } else {
      std::string der;
      unsigned char* out = nullptr;
      int len = i2d_X509(x, &out);
      if (len > 0) der.assign(reinterpret_cast<char*>(out), static_cast<size_t>(len));
      OPENSSL_free(out);
      X509_up_ref(x);
      e.pCertContext = contextInOwnStore(x, std::move(der));
    }
    e.TrustStatus.dwErrorStatus = byDepth[static_cast<size_t>(i)];
    if (X509_get_extension_flags(x) & EXFLAG_SS)
      e.TrustStatus.dwInfoStatus |= CERT_TRUST_IS_SELF_SIGNED;
    all |= e.TrustStatus.dwErrorStatus;
    chain->body->pointers[static_cast<size_t>(i)] = &e;
  }
  sk_X509_pop_free(built, X509_free);
  chain->simple.cbSize = sizeof(chain->simple);
  chain->simple.TrustStatus.dwErrorStatus = all;
  chain->simple.cElement = static_cast<DWORD>(n);
  chain->simple.rgpElement = chain->body->pointers.data();
  chain->simplePtr = &chain->simple;
  chain->ctx.cbSize = sizeof(chain->ctx);
  chain->ctx.TrustStatus.dwErrorStatus = all;
  chain->ctx.cChain = 1;
  chain->ctx.rgpChain = &chain->simplePtr;
  *ppChainContext = &chain->ctx;
  return TRUE;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  if (pChainContext == nullptr) return;
  auto* chain = reinterpret_cast<Chain*>(const_cast<CERT_CHAIN_CONTEXT*>(pChainContext));
  for (const CERT_CHAIN_ELEMENT& e : chain->body->elements) {
    CertFreeCertificateContext(e.pCertContext);
  }
  delete chain->body;
  delete chain;
}

BOOL CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      PCERT_CHAIN_POLICY_PARA pPolicyPara,
                                      PCERT_CHAIN_POLICY_STATUS pPolicyStatus) {
  if (pszPolicyOID != CERT_CHAIN_POLICY_SSL) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return FALSE;
  }
  auto* extra = pPolicyPara != nullptr
                    ? static_cast<PSSL_EXTRA_CERT_CHAIN_POLICY_PARA>(pPolicyPara->pvExtraPolicyPara)
                    : nullptr;
  if (pChainContext == nullptr || pChainContext->cChain == 0 || pPolicyStatus == nullptr ||
      (extra != nullptr && extra->dwAuthType != AUTHTYPE_SERVER)) {
    SetLastError(E_INVALIDARG);
    return FALSE;
  }
  const DWORD flags = pPolicyPara != nullptr ? pPolicyPara->dwFlags : 0;
  const DWORD checks = extra != nullptr ? extra->fdwChecks : 0;
  const CERT_SIMPLE_CHAIN* chain = pChainContext->rgpChain[0];
  const DWORD errors = chain->TrustStatus.dwErrorStatus;
  X509* leaf = contextOf(chain->rgpElement[0]->pCertContext)->body->x509;

  // The checks in the order of precedence: the first that fails and is not
  // ignored gives the status.
  struct Check {
    bool failed;
    bool ignored;
    DWORD status;
    LONG element;
  };
  const DWORD kUnknownCa = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
  const DWORD kPolicy = CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_INVALID_POLICY_CONSTRAINTS;
  const Check checksInOrder[] = {
      {(errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) != 0, false, TRUST_E_CERT_SIGNATURE,
       elementWith(chain, CERT_TRUST_IS_NOT_SIGNATURE_VALID)},
      {(errors & kUnknownCa) != 0,
       (flags & CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG) ||
           (checks & SECURITY_FLAG_IGNORE_UNKNOWN_CA),
       CERT_E_UNTRUSTEDROOT, elementWith(chain, CERT_TRUST_IS_UNTRUSTED_ROOT)},
      {(errors & CERT_TRUST_IS_NOT_TIME_VALID) != 0,
       (flags & CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG) ||
           (checks & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID),
       CERT_E_EXPIRED, elementWith(chain, CERT_TRUST_IS_NOT_TIME_VALID)},
      {wrongUsage(leaf) || (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0,
       (flags & CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG) ||
           (checks & SECURITY_FLAG_IGNORE_WRONG_USAGE),
       CERT_E_WRONG_USAGE, 0},
      {(errors & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) != 0,
       (flags & CERT_CHAIN_POLICY_IGNORE_INVALID_BASIC_CONSTRAINTS_FLAG) != 0,
       TRUST_E_BASIC_CONSTRAINTS, elementWith(chain, CERT_TRUST_INVALID_BASIC_CONSTRAINTS)},
      {extra != nullptr && extra->pwszServerName != nullptr &&
           !nameMatches(leaf, tw_platform::utf16ToUtf8(extra->pwszServerName)),
       (flags & CERT_CHAIN_POLICY_IGNORE_INVALID_NAME_FLAG) ||
           (checks & SECURITY_FLAG_IGNORE_CERT_CN_INVALID),
       CERT_E_CN_NO_MATCH, 0},
      // Rarer findings: a certificate used beyond what its issuer permits.
      {(errors & CERT_TRUST_INVALID_NAME_CONSTRAINTS) != 0,
       (flags & CERT_CHAIN_POLICY_IGNORE_INVALID_NAME_FLAG) != 0, CERT_E_PURPOSE,
       elementWith(chain, CERT_TRUST_INVALID_NAME_CONSTRAINTS)},
      {(errors & kPolicy) != 0, (flags & CERT_CHAIN_POLICY_IGNORE_INVALID_POLICY_FLAG) != 0,
       CERT_E_PURPOSE, elementWith(chain, kPolicy)},
      {(errors & CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT) != 0,
       (flags & CERT_CHAIN_POLICY_IGNORE_NOT_SUPPORTED_CRITICAL_EXT_FLAG) != 0, CERT_E_PURPOSE,
       elementWith(chain, CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT)},
  };
  pPolicyStatus->dwError = 0;
  pPolicyStatus->lChainIndex = -1;
  pPolicyStatus->lElementIndex = -1;
  for (const Check& c : checksInOrder) {
    if (c.failed && !c.ignored) {
      pPolicyStatus->dwError = c.status;
      pPolicyStatus->lChainIndex = 0;
      pPolicyStatus->lElementIndex = c.element;
      break;
    }
  }
  return TRUE;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  // Stores here are made for contexts and go with the last of them; a store
  // handle always has one alive.
  if (hCertStore != nullptr && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) != 0 &&
      static_cast<Store*>(hCertStore)->contexts.load() > 0) {
    SetLastError(CRYPT_E_PENDING_CLOSE);
    return FALSE;
  }
  return TRUE;
}

namespace tw_platform {

PCCERT_CONTEXT certContextFromPeer(const std::string& leafDer,
                                   const std::vector<std::string>& othersDer) {
  auto* store = new Store;
  X509* leaf = nullptr;
  std::string der;
  DWORD error = 0;
  for (size_t i = 0; i <= othersDer.size(); ++i) {
    const std::string& bytes = i == 0 ? leafDer : othersDer[i - 1];
    std::string parsed;
    X509* x = parseDer(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), &parsed, &error);
    if (x == nullptr || parsed.size() != bytes.size()) {
      X509_free(x);
      delete store;
      SetLastError(x == nullptr ? error : CRYPT_E_ASN1_BADTAG);
      return nullptr;
    }
    store->certs.push_back(x);
    if (i == 0) {
      leaf = x;
      der = std::move(parsed);
    }
  }
  X509_up_ref(leaf);
  return newContext(leaf, store, std::move(der));
}

}  // namespace tw_platform
