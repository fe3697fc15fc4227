// BSTR: the UTF-16 string of Automation, a value type that keeps null apart from empty.
//
// Scripts can tell a null string (VBScript's vbNullString, JScript's null passed as
// a string) from an empty one, and that difference has to survive dispatch and the
// object RPC, so a BSTR is either null or holds text (possibly empty). A default
// BSTR is null. Lengths are in UTF-16 code units.
//
// The text lives in a shared, reference-counted buffer: copying a BSTR (which the
// script engines and VARIANT copies do all the time) costs one atomic increment, and
// a BSTR is one pointer wide so that a VARIANT stays 16 bytes. `Mutable` copies the
// buffer first when it is shared (copy on write).
//
// Every empty string shares one buffer that is never freed and never counted: empty
// strings are made all the time (cleared fields, "" results) and so cost no allocation,
// and no processor writes to that buffer's count that every other one would then have
// to fetch again.
#pragma once

#include <atomic>
#include <compare>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "com/Strings.h"
#include "com/Types.h"

// The shared text of a BSTR. Only BSTR and the raw-handle helpers below touch it.
struct BstrBuffer {
    std::atomic<std::uint32_t> refs{1};
    std::u16string text;
};

namespace bstr_detail {
// Where the buffer of every empty string lives. It is made when first handed out and
// never destroyed, so strings released during the program's exit still find it; its
// count stays at a value that no owner count reaches, so code that changes a buffer it
// alone holds (refs == 1) never changes it.
inline constexpr std::uint32_t kSharedEmptyRefs = 0x40000000u;
alignas(BstrBuffer) inline unsigned char g_emptyStorage[sizeof(BstrBuffer)];
}  // namespace bstr_detail

class BSTR {
public:
    BSTR() = default;
    BSTR(std::u16string text) : m_p(NewBuffer(std::move(text))) {}
    BSTR(std::u16string_view text) : m_p(NewBuffer(std::u16string(text))) {}
    BSTR(const char16_t* text) {
        if (text)
            m_p = NewBuffer(std::u16string(text));
    }
    BSTR(const BSTR& other) noexcept : m_p(AddRefBuffer(other.m_p)) {}
    BSTR(BSTR&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~BSTR() { ReleaseBuffer(m_p); }
    BSTR& operator=(const BSTR& other) noexcept {
        BSTR(other).Swap(*this);
        return *this;
    }
    BSTR& operator=(BSTR&& other) noexcept {
        BSTR(std::move(other)).Swap(*this);
        return *this;
    }
    void Swap(BSTR& other) noexcept { std::swap(m_p, other.m_p); }

    static BSTR FromUtf8(std::string_view text) { return BSTR(Utf8ToUtf16(text)); }
    static BSTR Empty() noexcept { return Adopt(EmptyBuffer()); }

    bool IsNull() const { return m_p == nullptr; }
    // Length in code units; a null string has length 0, as SysStringLen gives it.
    UINT Length() const { return m_p ? static_cast<UINT>(m_p->text.size()) : 0; }
    // The text; a null string reads as empty.
    std::u16string_view View() const { return ViewOf(m_p); }
    const std::u16string& Str() const {
        static const std::u16string empty;
        return m_p ? m_p->text : empty;
    }
    // The text for changing in place; a null string becomes empty first and a shared
    // buffer is copied first. The reference is valid until this BSTR is copied,
    // assigned or destroyed.
    std::u16string& Mutable() {
        if (!m_p) {
            m_p = new BstrBuffer;
        } else if (m_p->refs.load(std::memory_order_acquire) != 1) {
            auto* copy = new BstrBuffer;
            copy->text = m_p->text;
            ReleaseBuffer(std::exchange(m_p, copy));
        }
        return m_p->text;
    }
    std::string ToUtf8() const { return Utf16ToUtf8(View()); }

    // Content comparison: a null string compares equal to an empty one, as the
    // Automation comparison rules treat them. Use IsNull to tell them apart.
    friend bool operator==(const BSTR& a, const BSTR& b) { return a.View() == b.View(); }
    friend std::strong_ordering operator<=>(const BSTR& a, const BSTR& b) {
        return a.View() <=> b.View();
    }

    // Raw handles, for storage that has to stay trivially copyable (the value union of
    // a VARIANT). A handle owns one reference; null stands for the null string.
    BstrBuffer* Detach() noexcept { return std::exchange(m_p, nullptr); }
    static BSTR Adopt(BstrBuffer* handle) noexcept {
        BSTR b;
        b.m_p = handle;
        return b;
    }
    static BSTR Share(BstrBuffer* handle) noexcept { return Adopt(AddRefBuffer(handle)); }
    static std::u16string_view ViewOf(const BstrBuffer* handle) {
        return handle ? std::u16string_view(handle->text) : std::u16string_view();
    }
    static BstrBuffer* AddRefBuffer(BstrBuffer* handle) noexcept {
        if (handle && handle != EmptyAddress())
            handle->refs.fetch_add(1, std::memory_order_relaxed);
        return handle;
    }
    static void ReleaseBuffer(BstrBuffer* handle) noexcept {
        if (!handle || handle == EmptyAddress())
            return;
        // The last reference needs no atomic decrement: no other thread holds one, so
        // none can take another. Most strings a script makes are released so, and a
        // locked decrement is the dearest step of freeing them.
        if (handle->refs.load(std::memory_order_acquire) == 1 ||
            handle->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete handle;
    }

private:
    // The shared empty buffer's address, for comparing (it may not be made yet), and the
    // buffer itself, made on first use.
    static BstrBuffer* EmptyAddress() noexcept {
        return reinterpret_cast<BstrBuffer*>(bstr_detail::g_emptyStorage);
    }
    static BstrBuffer* EmptyBuffer() noexcept {
        static BstrBuffer* const empty =
            new (bstr_detail::g_emptyStorage) BstrBuffer{bstr_detail::kSharedEmptyRefs, {}};
        return empty;
    }
    static BstrBuffer* NewBuffer(std::u16string text) {
        if (text.empty())
            return EmptyBuffer();
        auto* p = new BstrBuffer;
        p->text = std::move(text);
        return p;
    }

    BstrBuffer* m_p = nullptr;
};
