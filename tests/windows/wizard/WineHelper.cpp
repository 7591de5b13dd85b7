// What the whole-wizard cases under wine need from Windows itself, one command per run: trust PEM... adds certificates
// to the machine's root store (the wine prefix's, never the host's); hold FILE UNTIL holds FILE open without
// FILE_SHARE_DELETE, as a scanner does; lock FOLDER UNTIL holds the wizard's lock on FOLDER; wait UNTIL runs (copied as
// kestrel11.exe: the application); close TITLE closes that window as its close button does, once it shows (2 minutes at
// most). The holding commands print "ready" once they hold, and end when the file UNTIL exists.

#include <windows.h>
#include <wincrypt.h>

#include "os/FolderLock.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int ready(const wchar_t *until)
{
    std::puts("ready");
    std::fflush(stdout);
    // Ten minutes at most, should the caller never say when.
    for (int i = 0; i < 6000 && ::GetFileAttributesW(until) == INVALID_FILE_ATTRIBUTES; ++i)
        ::Sleep(100);
    return 0;
}

bool trust(const wchar_t *pemFile)
{
    std::ifstream in(pemFile, std::ios::binary);
    const std::string pem(std::istreambuf_iterator<char>(in), {});
    DWORD size = 0;
    if (pem.empty()
        || !::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return false;
    std::string der(size, '\0');
    ::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE *>(der.data()), &size,
                           nullptr, nullptr);
    const HCERTSTORE root = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    const bool added = root
        && ::CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.data()),
                                              size, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (root)
        ::CertCloseStore(root, 0);
    return added;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"trust" && argc > 2) {
        for (int i = 2; i < argc; ++i)
            if (!trust(argv[i]))
                return 1;
        return 0;
    }
    if (command == L"hold" && argc == 4) {
        const HANDLE file = ::CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        return file == INVALID_HANDLE_VALUE ? 1 : ready(argv[3]);
    }
    if (command == L"lock" && argc == 4) {
        kestrel::os::FolderLock lock;
        return lock.acquire(argv[2]) == kestrel::os::FolderLock::Result::Acquired ? ready(argv[3]) : 1;
    }
    if (command == L"wait" && argc == 3)
        return ready(argv[2]);
    if (command == L"close" && argc == 3) {
        for (int i = 0; i < 1200; ++i, ::Sleep(100)) {
            const HWND window = ::FindWindowW(nullptr, argv[2]);
            if (window && ::IsWindowVisible(window))
                return ::PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
        }
        return 1;
    }
    std::fputs("usage: kestrel_wine_helper trust PEM... | hold FILE UNTIL | lock FOLDER UNTIL | wait UNTIL | close TITLE\n", stderr);
    return 2;
}
