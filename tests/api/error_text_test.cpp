// Error texts read through the loaded library, as a host reads them: every code of the message
// table has a real text in each language, and language tags and unknown codes resolve as hosts
// expect.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/ErrorText.h"
#include "quorvantix/quorvantix.h"
#include "support/Host.h"

namespace {

bool isHangul(wchar_t c) { return c >= 0xAC00 && c <= 0xD7A3; }
bool isKana(wchar_t c) { return c >= 0x3040 && c <= 0x30FF; }
bool isHan(wchar_t c) { return c >= 0x4E00 && c <= 0x9FFF; }

bool any(const std::wstring& s, bool (*pred)(wchar_t)) {
    for (wchar_t c : s) {
        if (pred(c)) return true;
    }
    return false;
}

bool endsWithOneOf(const std::wstring& s, std::initializer_list<const wchar_t*> endings) {
    for (const wchar_t* e : endings) {
        const std::wstring tail(e);
        if (s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0) return true;
    }
    return false;
}

std::wstring errorText(IVelmorPlayerBase* player, const wchar_t* language, int32_t code) {
    wchar_t out[1024] = {};
    EXPECT_EQ(player->getErrorText(language, code, out), 0);
    return out;
}

// How a finished sentence of each language looks: Korean in the 합니다 style, Japanese in the
// です/ます style, Simplified Chinese without Japanese kana.
bool wellFormed(int language, const std::wstring& s) {
    switch (language) {
        case 0:
            return any(s, isHangul) && !any(s, isKana) && endsWithOneOf(s, {L"니다.", L"요."});
        case 1:
            for (wchar_t c : s) {
                if (c < 0x20 || c > 0x7E) return false;
            }
            return s[0] >= L'A' && s[0] <= L'Z' && s.back() == L'.';
        case 2:
            return any(s, isKana) && endsWithOneOf(s, {L"す。", L"た。", L"ん。", L"い。"});
        default:
            return any(s, isHan) && !any(s, isKana) && !any(s, isHangul) && s.back() == L'。';
    }
}

TEST(PlayerApi, ErrorTextsHaveRealTextsInEveryLanguageAndResolveTagsAndUnknownCodes) {
    qvtest::Library lib;
    ASSERT_TRUE(lib.ok());
    IVelmorPlayerBase* player = lib.create();
    ASSERT_NE(player, nullptr);

    const std::vector<int32_t> codes = velmor::ErrorTextCodes();
    ASSERT_EQ(codes.size(), 182u);
    ASSERT_EQ(codes.front(), -1);
    // A repeated code would hide its later text behind the first.
    EXPECT_EQ(std::set<int32_t>(codes.begin(), codes.end()).size(), codes.size());

    const wchar_t* const languages[] = {L"ko", L"en", L"ja", L"cn"};
    std::wstring temporary[4];
    for (int l = 0; l < 4; ++l) temporary[l] = errorText(player, languages[l], -1);

    for (int32_t code : codes) {
        const std::wstring english = errorText(player, L"en", code);
        for (int l = 0; l < 4; ++l) {
            SCOPED_TRACE(testing::Message() << "code " << code << " language " << l);
            const std::wstring text = errorText(player, languages[l], code);
            ASSERT_FALSE(text.empty());
            EXPECT_TRUE(wellFormed(l, text)) << text;
            // Placeholder texts were a label and the code; no real text carries a number.
            EXPECT_EQ(text.find_first_of(L"0123456789"), std::wstring::npos);
            if (l != 1) {
                EXPECT_NE(text, english);
            }
            // Every language has this code: its text is not the one given to unknown codes.
            if (code != -1) {
                EXPECT_NE(text, temporary[l]);
            }
        }
    }

    // The language is the first two characters without regard to case; anything else is Korean.
    EXPECT_EQ(errorText(player, L"JA-jp", -1010), errorText(player, L"ja", -1010));
    EXPECT_EQ(errorText(player, L"cN", -1010), errorText(player, L"cn", -1010));
    EXPECT_EQ(errorText(player, L"EN-us", -1010), errorText(player, L"en", -1010));
    EXPECT_NE(errorText(player, L"en", -1010).find(L"not supported"), std::wstring::npos);
    for (const wchar_t* other : {L"xx", L"jp", L"zh", L"e", L"", static_cast<const wchar_t*>(nullptr)}) {
        EXPECT_EQ(errorText(player, other, -1010), errorText(player, L"ko", -1010));
    }
    // A code the table does not list gets the temporary-error text of the language.
    for (int32_t unknown : {0, 1, -1001, -7404, -8000, 123456, INT32_MAX}) {
        for (int l = 0; l < 4; ++l) EXPECT_EQ(errorText(player, languages[l], unknown), temporary[l]) << unknown;
    }
    lib.destroy(player, false);
}

}  // namespace
