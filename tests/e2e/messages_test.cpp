// The texts of update.exe against an independent Shift-JIS conversion of the
// quoted texts, and the table that maps a result to its message.
#include "messages.h"
#include "test_support.h"
#include <gtest/gtest.h>
#include <string>

namespace {

struct Text {
    const char* name;
    const char* bytes;
    const char* expected; // UTF-8
    size_t size;          // bytes in Shift-JIS
};

const Text kTexts[] = {
    {"ask update", kAskUpdate, "アップデートを行いますか？　　　　　　　　　　　　　", 52},
    {"ask cancel", kAskCancel, "アップデートを中止しますか？　　　　　　　　　　　　", 52},
    {"done", kUpdateDone, "アップデートが完了しました　　　　　　　　　　　　　", 52},
    {"not installed", kNotInstalled, "ゲームがインストールされていません　　　　　　　　　", 52},
    {"game running", kGameRunning,
     "ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません", 86},
    {"no dialog", kDialogFailed, "ダイアログの起動に失敗しました。　　　　　　　　　　", 52},
    {"no title", kTitleReadFailed, "バージョン情報の取得に失敗しました。　　　　　　　　", 52},
    {"damaged", kPackageDamaged, "アップデートプログラムが破損している可能性があります", 52},
    {"failed", kUpdateFailed, "何らかの要因によりアップデートが行えません　　　　　", 52},
    {"uninstall list", kUninstallFailed, "アンインストレーションファイルの更新に失敗しました　",
     52},
    {"error caption", kErrorCaption, "エラー", 6},
    {"product key", kProductKey, "クイルミア", 10},
};

// Trailing U+3000 in a UTF-8 text.
int TrailingFill(const std::string& utf8) {
    int n = 0;
    for (size_t end = utf8.size(); end >= 3 && utf8.compare(end - 3, 3, "\xE3\x80\x80") == 0;
         end -= 3)
        n++;
    return n;
}

} // namespace

TEST(UpdateTexts, EveryTextIsTheShiftJisOfItsQuote) {
    for (const Text& t : kTexts) {
        SCOPED_TRACE(t.name);
        std::string expected = Sjis(t.expected);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(expected, std::string(t.bytes));
        EXPECT_EQ(t.size, strlen(t.bytes));
    }
}

TEST(UpdateTexts, FillsOfIdeographicSpaces) {
    // Counted from the quotes, so a lost or extra fill byte pair shows twice.
    struct Fill {
        const char* bytes;
        int spaces;
    } fills[] = {{kAskUpdate, 13},   {kAskCancel, 12},      {kUpdateDone, 13},
                 {kNotInstalled, 9}, {kDialogFailed, 10},   {kTitleReadFailed, 8},
                 {kUpdateFailed, 5}, {kUninstallFailed, 1}, {kPackageDamaged, 0},
                 {kGameRunning, 0}};
    for (const Fill& f : fills) {
        std::string s = f.bytes;
        int n = 0;
        while (s.size() >= 2 && s.compare(s.size() - 2, 2, "\x81\x40") == 0) {
            s.resize(s.size() - 2);
            n++;
        }
        EXPECT_EQ(f.spaces, n) << f.bytes;
    }
    for (const Text& t : kTexts) {
        if (t.size == 52 && TrailingFill(t.expected) > 0) {
            EXPECT_EQ(52u, strlen(t.bytes));
        }
    }
}

TEST(UpdateTexts, OutcomeOfEveryResult) {
    struct Row {
        uint32_t result;
        const char* message; // null: silent
        bool warning;
    } rows[] = {
        {UPDATE_OK, kUpdateDone, false},
        {UPDATE_E_PACKAGE, kPackageDamaged, true},
        {UPDATE_E_PACKAGE_COUNT, kPackageDamaged, true},
        {0x80000003, kPackageDamaged, true},
        {UPDATE_E_FAILED, kUpdateFailed, true},
        {UPDATE_E_UNINSTALL_LIST, kUninstallFailed, true},
        {UPDATE_E_CANCELLED, nullptr, true},
        {UPDATE_E_CLOSED, nullptr, true},
        {1, nullptr, true},
        {0x80000000, nullptr, true},
        {0x80000008, nullptr, true},
        {0xFFFFFFFF, nullptr, true},
    };
    for (const Row& row : rows) {
        bool warning = !row.warning;
        const char* message = OutcomeMessage(row.result, &warning);
        EXPECT_EQ(row.message, message) << std::hex << row.result;
        if (row.message) {
            EXPECT_EQ(row.warning, warning) << std::hex << row.result;
        }
    }
}
