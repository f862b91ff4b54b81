// CryptoAPI certificate functions: certificate contexts, X.500 name text,
// chain building and the SSL chain policy, with the Windows structures,
// constants and status codes.
//
// Contexts are reference-counted (CertDuplicateCertificateContext adds a
// reference, CertFreeCertificateContext drops one). Every context belongs to
// a memory store (hCertStore) that lives as long as a context in it does.
// Chains are built from the certificate, the additional store and the trust
// store: the file SSL_CERT_FILE names when it is set, and the certificates of
// a hashed directory (SSL_CERT_DIR, else the system's), looked up by subject
// hash when needed. The trust store is loaded once per process, the first
// time a chain is built. Revocation is never checked.
//
// Failures set the last error (GetLastError) to the CryptoAPI status.
#pragma once

#include <string>
#include <vector>

#include "platform/win32types.h"

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

typedef void* HCERTSTORE;
typedef void* HCERTCHAINENGINE;

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CERT_NAME_BLOB, *PCERT_NAME_BLOB;

// The fields of Windows' CERT_INFO that callers read, in Windows' order.
typedef struct _CERT_INFO {
  CERT_NAME_BLOB Issuer;
  CERT_NAME_BLOB Subject;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

// CertNameToStrA format and flag.
#define CERT_X500_NAME_STR 3
#define CERT_NAME_STR_NO_PLUS_FLAG 0x20000000

// CertCloseStore flag.
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

// Trust status of a chain element, a simple chain and a chain context.
#define CERT_TRUST_NO_ERROR 0x00000000
#define CERT_TRUST_IS_NOT_TIME_VALID 0x00000001
#define CERT_TRUST_IS_NOT_SIGNATURE_VALID 0x00000008
#define CERT_TRUST_IS_NOT_VALID_FOR_USAGE 0x00000010
#define CERT_TRUST_IS_UNTRUSTED_ROOT 0x00000020
#define CERT_TRUST_INVALID_EXTENSION 0x00000100
#define CERT_TRUST_INVALID_POLICY_CONSTRAINTS 0x00000200
#define CERT_TRUST_INVALID_BASIC_CONSTRAINTS 0x00000400
#define CERT_TRUST_INVALID_NAME_CONSTRAINTS 0x00000800
#define CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT 0x00008000
#define CERT_TRUST_IS_PARTIAL_CHAIN 0x00010000

#define CERT_TRUST_IS_SELF_SIGNED 0x00000008

typedef struct _CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
} CERT_TRUST_STATUS, *PCERT_TRUST_STATUS;

typedef struct _CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
} CERT_CHAIN_ELEMENT, *PCERT_CHAIN_ELEMENT;
typedef const CERT_CHAIN_ELEMENT* PCCERT_CHAIN_ELEMENT;

typedef struct _CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  PCERT_CHAIN_ELEMENT* rgpElement;
} CERT_SIMPLE_CHAIN, *PCERT_SIMPLE_CHAIN;

// Element 0 of chain 0 is the certificate the chain was built for; the last
// element is the root, or the last issuer found.
typedef struct _CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  PCERT_SIMPLE_CHAIN* rgpChain;
} CERT_CHAIN_CONTEXT, *PCERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;

// Chains are built without usage requirements (Windows' RequestedUsage is
// not offered); the SSL policy checks the server usage itself.
typedef struct _CERT_CHAIN_PARA {
  DWORD cbSize;
} CERT_CHAIN_PARA, *PCERT_CHAIN_PARA;

#define CERT_CHAIN_POLICY_SSL (reinterpret_cast<LPCSTR>(4))

// Policy flags (CERT_CHAIN_POLICY_PARA::dwFlags); other bits are ignored.
#define CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG 0x00000001
#define CERT_CHAIN_POLICY_IGNORE_INVALID_BASIC_CONSTRAINTS_FLAG 0x00000008
#define CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG 0x00000010
#define CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG 0x00000020
#define CERT_CHAIN_POLICY_IGNORE_INVALID_NAME_FLAG 0x00000040
#define CERT_CHAIN_POLICY_IGNORE_INVALID_POLICY_FLAG 0x00000080
#define CERT_CHAIN_POLICY_IGNORE_NOT_SUPPORTED_CRITICAL_EXT_FLAG 0x00002000

typedef struct _CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwFlags;
  void* pvExtraPolicyPara;
} CERT_CHAIN_POLICY_PARA, *PCERT_CHAIN_POLICY_PARA;

// dwError is 0 when the chain passes, else the status below that comes first
// in this order: TRUST_E_CERT_SIGNATURE, CERT_E_UNTRUSTEDROOT (also for an
// issuer that was not found), CERT_E_EXPIRED, CERT_E_WRONG_USAGE,
// TRUST_E_BASIC_CONSTRAINTS, CERT_E_CN_NO_MATCH; then CERT_E_PURPOSE for the
// rarer findings (name or policy constraints broken, an unknown critical
// extension, other refused extensions), so that every status has a
// description callers can show. Revocation is not checked. lChainIndex and
// lElementIndex name the element at fault (-1 when none).
typedef struct _CERT_CHAIN_POLICY_STATUS {
  DWORD cbSize;
  DWORD dwError;
  LONG lChainIndex;
  LONG lElementIndex;
  void* pvExtraPolicyStatus;
} CERT_CHAIN_POLICY_STATUS, *PCERT_CHAIN_POLICY_STATUS;

#define AUTHTYPE_SERVER 2

// Checks to leave out (SSL_EXTRA_CERT_CHAIN_POLICY_PARA::fdwChecks).
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#define SECURITY_FLAG_IGNORE_WRONG_USAGE 0x00000200
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000
#define SECURITY_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000

// The SSL policy's extra parameters. Without a server name no name check is
// made; with one, an IP literal is compared with the certificate's IP
// address entries, a name with its DNS entries (a wildcard matches one whole
// leftmost label), and the subject's CN only when the certificate has no
// subject alternative names.
typedef struct _HTTPSPolicyCallbackData {
  DWORD cbSize;
  DWORD dwAuthType;
  DWORD fdwChecks;
  WCHAR* pwszServerName;
} HTTPSPolicyCallbackData, SSL_EXTRA_CERT_CHAIN_POLICY_PARA, *PSSL_EXTRA_CERT_CHAIN_POLICY_PARA;

// Policy statuses.
#define TRUST_E_CERT_SIGNATURE static_cast<DWORD>(0x80096004L)
#define TRUST_E_BASIC_CONSTRAINTS static_cast<DWORD>(0x80096019L)
#define CERT_E_EXPIRED static_cast<DWORD>(0x800B0101L)
#define CERT_E_VALIDITYPERIODNESTING static_cast<DWORD>(0x800B0102L)
#define CERT_E_ROLE static_cast<DWORD>(0x800B0103L)
#define CERT_E_PURPOSE static_cast<DWORD>(0x800B0106L)
#define CERT_E_UNTRUSTEDROOT static_cast<DWORD>(0x800B0109L)
#define CERT_E_CHAINING static_cast<DWORD>(0x800B010AL)
#define CERT_E_REVOKED static_cast<DWORD>(0x800B010CL)
#define CERT_E_UNTRUSTEDTESTROOT static_cast<DWORD>(0x800B010DL)
#define CERT_E_REVOCATION_FAILURE static_cast<DWORD>(0x800B010EL)
#define CERT_E_CN_NO_MATCH static_cast<DWORD>(0x800B010FL)
#define CERT_E_WRONG_USAGE static_cast<DWORD>(0x800B0110L)
#define CRYPT_E_REVOKED static_cast<DWORD>(0x80092010L)
#define CRYPT_E_REVOCATION_OFFLINE static_cast<DWORD>(0x80092013L)

// Other statuses the functions set as last error.
#ifndef E_INVALIDARG
#define E_INVALIDARG static_cast<DWORD>(0x80070057L)
#endif
#define CRYPT_E_NOT_FOUND static_cast<DWORD>(0x80092004L)
#define CRYPT_E_PENDING_CLOSE static_cast<DWORD>(0x8009200FL)
#define CRYPT_E_ASN1_EOD static_cast<DWORD>(0x80093102L)
#define CRYPT_E_ASN1_BADTAG static_cast<DWORD>(0x8009310BL)

// A context for one DER certificate, in a new memory store of its own;
// nullptr with CRYPT_E_ASN1_* when the bytes are no certificate, E_INVALIDARG
// without X509_ASN_ENCODING.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

// The name as text: CERT_X500_NAME_STR ("CN=..., O=...") with RDNs in
// encoded order, ", " between RDNs, " + " between the values of one RDN
// (" " with CERT_NAME_STR_NO_PLUS_FLAG), values holding separators or
// leading or trailing blanks in double quotes (inner quotes doubled).
// Returns the characters needed or stored, the terminating zero included;
// without a buffer (psz null or csz 0) only the size. A short buffer gets
// the text cut to csz - 1 characters. Another format, or a name that cannot
// be read, gives the empty text (1) with E_INVALIDARG.
DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz);

// Builds one simple chain for the certificate at pTime (null: now), with the
// certificates of hAdditionalStore as candidate issuers. The chain and its
// elements carry the CERT_TRUST_* errors found. hChainEngine must be null
// (the default engine); dwFlags is accepted and ignored.
BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                             LPFILETIME pTime, HCERTSTORE hAdditionalStore,
                             PCERT_CHAIN_PARA pChainPara, DWORD dwFlags, LPVOID pvReserved,
                             PCCERT_CHAIN_CONTEXT* ppChainContext);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);

// Only CERT_CHAIN_POLICY_SSL is offered (others: FALSE, CRYPT_E_NOT_FOUND).
// The result of the check is in pPolicyStatus->dwError; FALSE means the
// check could not run.
BOOL CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      PCERT_CHAIN_POLICY_PARA pPolicyPara,
                                      PCERT_CHAIN_POLICY_STATUS pPolicyStatus);

// Drops a handle on a store. The store itself goes with its last context;
// with CERT_CLOSE_STORE_CHECK_FLAG a store that still holds contexts gives
// FALSE with CRYPT_E_PENDING_CLOSE.
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);

namespace tw_platform {

// For the security package: a context for the certificate a TLS server sent
// (DER), whose hCertStore holds it and the other certificates it sent, for
// use as a chain's additional store. nullptr with the last error set when a
// certificate cannot be read.
PCCERT_CONTEXT certContextFromPeer(const std::string& leafDer,
                                   const std::vector<std::string>& othersDer);

}  // namespace tw_platform
