// The signer's part of an Authenticode signature through the system's trust
// services: WinVerifyTrust judges the signature and the signer's chain, with
// no user interface and no revocation check. The image digest has already
// been compared by the portable code, which also gives the progress line and
// does not depend on how much of this a Windows (or Wine) implements.
#include "authenticode.h"
#include "patch_text.h"

#include <windows.h>
// After windows.h, which they need.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <string.h>

typedef LONG(WINAPI* WinVerifyTrustFn)(HWND, GUID*, LPVOID);
typedef CRYPT_PROVIDER_DATA*(WINAPI* ProvDataFn)(HANDLE);
typedef CRYPT_PROVIDER_SGNR*(WINAPI* ProvSignerFn)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
typedef DWORD(WINAPI* NameToStrFn)(DWORD, PCERT_NAME_BLOB, DWORD, LPWSTR, DWORD);

// wintrust.dll and crypt32.dll are loaded at run time, by full path from the
// system folder, only when there is a signature to judge: the tool starts on
// any Windows whatever they offer, and a DLL of the same name beside
// krnpatch.exe (a download folder) is never loaded. They stay loaded until
// the tool ends.
static HMODULE LoadSystemLibrary(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    size_t nameLength = wcslen(name);
    if (n == 0 || n + 1 + nameLength >= MAX_PATH) return nullptr;
    path[n] = L'\\';
    memcpy(path + n + 1, name, (nameLength + 1) * sizeof(wchar_t));
    return LoadLibraryW(path);
}

struct TrustCode {
    LONG code;
    const char* name;
};

// Chain faults: the digest matched, so the file is what was signed; only
// whom to believe is open. TRUST_E_CERT_SIGNATURE is not one of them: Wine
// answers it for a signer's signature that does not verify.
static const TrustCode kChainFaults[] = {
    {CERT_E_UNTRUSTEDROOT, "CERT_E_UNTRUSTEDROOT"},
    {CERT_E_CHAINING, "CERT_E_CHAINING"},
    {CERT_E_UNTRUSTEDCA, "CERT_E_UNTRUSTEDCA"},
    {CERT_E_UNTRUSTEDTESTROOT, "CERT_E_UNTRUSTEDTESTROOT"},
    {CERT_E_EXPIRED, "CERT_E_EXPIRED"},
    {CERT_E_VALIDITYPERIODNESTING, "CERT_E_VALIDITYPERIODNESTING"},
    {CERT_E_WRONG_USAGE, "CERT_E_WRONG_USAGE"},
    {CERT_E_PURPOSE, "CERT_E_PURPOSE"},
    {TRUST_E_BASIC_CONSTRAINTS, "TRUST_E_BASIC_CONSTRAINTS"},
};

// Names for the refusals a maintainer is likely to meet.
static const TrustCode kRefusals[] = {
    {TRUST_E_CERT_SIGNATURE, "TRUST_E_CERT_SIGNATURE"},
    {TRUST_E_EXPLICIT_DISTRUST, "TRUST_E_EXPLICIT_DISTRUST"},
    {CERT_E_REVOKED, "CERT_E_REVOKED"},
    {TRUST_E_SUBJECT_FORM_UNKNOWN, "TRUST_E_SUBJECT_FORM_UNKNOWN"},
    {TRUST_E_PROVIDER_UNKNOWN, "TRUST_E_PROVIDER_UNKNOWN"},
};

static std::string CodeText(const char* name, LONG code) {
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08lX", (unsigned long)(ULONG)code);
    return name ? std::string(name) + " " + hex : std::string(hex);
}

// The signer's subject from the state WinVerifyTrust keeps, "" when any
// helper is missing.
static std::string SignerSubject(HMODULE wintrust, HANDLE state) {
    HMODULE crypt32 = LoadSystemLibrary(L"crypt32.dll");
    ProvDataFn provData =
        (ProvDataFn)(void*)GetProcAddress(wintrust, "WTHelperProvDataFromStateData");
    ProvSignerFn provSigner =
        (ProvSignerFn)(void*)GetProcAddress(wintrust, "WTHelperGetProvSignerFromChain");
    NameToStrFn nameToStr =
        crypt32 ? (NameToStrFn)(void*)GetProcAddress(crypt32, "CertNameToStrW") : nullptr;
    if (!provData || !provSigner || !nameToStr || !state) return "";
    CRYPT_PROVIDER_DATA* data = provData(state);
    CRYPT_PROVIDER_SGNR* signer = data ? provSigner(data, 0, FALSE, 0) : nullptr;
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain ||
        !signer->pasCertChain[0].pCert)
        return "";
    wchar_t subject[512];
    DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    if (nameToStr(X509_ASN_ENCODING, &signer->pasCertChain[0].pCert->pCertInfo->Subject, flags,
                  subject, sizeof(subject) / sizeof(subject[0])) <= 1)
        return "";
    std::string text;
    return WideToText(kCodePageUtf8, (const WideChar*)subject, &text) ? text : "";
}

void JudgeSignature(const std::string& path, const unsigned char*, size_t, const SignedDigest&,
                    PatchReport* r) {
    SignatureReport& s = r->signature;
    // A changed file is an error already; the trust services would only read
    // all of it a second time to say so.
    if (s.digestMatches != 1) return;
    HMODULE wintrust = LoadSystemLibrary(L"wintrust.dll");
    WinVerifyTrustFn verify =
        wintrust ? (WinVerifyTrustFn)(void*)GetProcAddress(wintrust, "WinVerifyTrust") : nullptr;
    std::vector<WideChar> wide;
    if (!verify || !TextToWide(kCodePageUtf8, path, &wide)) {
        s.chain = "not judged";
        s.covered = "the file is byte for byte what was signed; the signer was not judged "
                    "(this system's trust services are not available)";
        r->warnings.push_back("the system's trust services (wintrust.dll) cannot be used: the "
                              "signer was not judged");
        return;
    }
    WINTRUST_FILE_INFO file;
    memset(&file, 0, sizeof(file));
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = (const wchar_t*)wide.data();
    WINTRUST_DATA data;
    memset(&data, 0, sizeof(data));
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    // Keep the state for the signer's name; never fetch anything from the net.
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = verify((HWND)INVALID_HANDLE_VALUE, &action, &data);
    s.signer = SignerSubject(wintrust, data.hWVTStateData);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify((HWND)INVALID_HANDLE_VALUE, &action, &data);

    std::string who = s.signer.empty() ? std::string("the signer") : s.signer;
    const char* chainFault = nullptr;
    for (const TrustCode& c : kChainFaults)
        if (status == c.code) chainFault = c.name;
    if (status == ERROR_SUCCESS) {
        s.signatureValid = 1;
        s.chain = "trusted by this system";
        s.covered = "the file is byte for byte what " + who +
                    " signed, and this system trusts "
                    "the signer (revocation not checked)";
    } else if (chainFault) {
        s.signatureValid = 1;
        s.chain = "not trusted by this system (" + CodeText(chainFault, status) + ")";
        s.covered = "the file is byte for byte what " + who + " signed; this system does not " +
                    "trust the signer's certificate chain (" + CodeText(chainFault, status) + ")";
    } else if (status == TRUST_E_BAD_DIGEST) {
        s.signatureValid = 0;
        r->errors.push_back("the file was changed after it was signed (the system's trust "
                            "services: " +
                            CodeText("TRUST_E_BAD_DIGEST", status) + ")");
    } else if (status == TRUST_E_NOSIGNATURE) {
        r->errors.push_back("the system's trust services find no signature they can read (" +
                            CodeText("TRUST_E_NOSIGNATURE", status) + ")");
    } else {
        const char* name = nullptr;
        for (const TrustCode& c : kRefusals)
            if (status == c.code) name = c.name;
        s.signatureValid = 0;
        r->errors.push_back("the system's trust services refuse the signature (" +
                            CodeText(name, status) + ")");
    }
}
