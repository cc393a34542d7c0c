// Brindlemark/Common.h — the types every unit shares: wide strings, byte buffers and owners for
// platform handles, so that every path releases what it took.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using WString = std::basic_string<WCHAR>;
using ByteBuffer = std::vector<BYTE>;

// Move-only owner of one platform handle; Traits gives the type, the empty value and the release call.
template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() : m_h(Traits::Empty()) {}
    explicit UniqueHandle(Type h) : m_h(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : m_h(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Type get() const { return m_h; }
    // For out-parameters: releases what is held and hands out the slot.
    Type* put()
    {
        reset();
        return &m_h;
    }
    Type release()
    {
        Type h = m_h;
        m_h = Traits::Empty();
        return h;
    }
    void reset(Type h = Traits::Empty())
    {
        if (m_h != Traits::Empty()) Traits::Release(m_h);
        m_h = h;
    }
    explicit operator bool() const { return m_h != Traits::Empty(); }

private:
    Type m_h;
};

namespace handle_traits {
struct CryptProv {
    using Type = HCRYPTPROV;
    static Type Empty() { return 0; }
    static void Release(Type h) { CryptReleaseContext(h, 0); }
};
struct CryptKey {
    using Type = HCRYPTKEY;
    static Type Empty() { return 0; }
    static void Release(Type h) { CryptDestroyKey(h); }
};
struct CryptHash {
    using Type = HCRYPTHASH;
    static Type Empty() { return 0; }
    static void Release(Type h) { CryptDestroyHash(h); }
};
struct CertStore {
    using Type = HCERTSTORE;
    static Type Empty() { return nullptr; }
    static void Release(Type h) { CertCloseStore(h, 0); }
};
struct CertContext {
    using Type = PCCERT_CONTEXT;
    static Type Empty() { return nullptr; }
    static void Release(Type h) { CertFreeCertificateContext(h); }
};
struct RegKey {
    using Type = HKEY;
    static Type Empty() { return nullptr; }
    static void Release(Type h) { RegCloseKey(h); }
};
struct File {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static void Release(Type h) { CloseHandle(h); }
};
struct Bstr {
    using Type = BSTR;
    static Type Empty() { return nullptr; }
    static void Release(Type h) { SysFreeString(h); }
};
}  // namespace handle_traits

using CryptProv = UniqueHandle<handle_traits::CryptProv>;
using CryptKey = UniqueHandle<handle_traits::CryptKey>;
using CryptHash = UniqueHandle<handle_traits::CryptHash>;
using CertStore = UniqueHandle<handle_traits::CertStore>;
using CertContext = UniqueHandle<handle_traits::CertContext>;
using RegKey = UniqueHandle<handle_traits::RegKey>;
using FileHandle = UniqueHandle<handle_traits::File>;
using BString = UniqueHandle<handle_traits::Bstr>;

// Leading and trailing U+0020 only; tabs and other white space stay.
inline WString TrimSpaces(const WString& wstr)
{
    size_t first = wstr.find_first_not_of(TEXT(' '));
    if (first == WString::npos) return WString();
    size_t last = wstr.find_last_not_of(TEXT(' '));
    return wstr.substr(first, last - first + 1);
}

// A BSTR may be null; the agent treats null and empty alike where it copies.
inline WString FromBstr(BSTR bstr) { return bstr != nullptr ? WString(bstr) : WString(); }

// Containers report exhausted memory by throwing; the system's steps report it as E_OUTOFMEMORY instead.
template <typename Container>
bool TryResize(Container& container, uint64_t ullSize)
{
    if (ullSize > container.max_size()) return false;
    try {
        container.resize(static_cast<size_t>(ullSize));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

template <typename Container>
bool TryReserve(Container& container, uint64_t ullSize)
{
    if (ullSize > container.max_size()) return false;
    try {
        container.reserve(static_cast<size_t>(ullSize));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}
