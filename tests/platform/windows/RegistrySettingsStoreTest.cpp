#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/windows/RegistrySettingsStore.h"

namespace quarnel::testing {
namespace {

using platform::RegistrySettingsStore;

const wchar_t* const kTests = L"Software\\QuarnelTests";

// Each test has a key of its own in the prefix's own registry, removed before and after it.
class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override { (void)RegDeleteTreeW(HKEY_CURRENT_USER, kTests); }
    void TearDown() override { (void)RegDeleteTreeW(HKEY_CURRENT_USER, kTests); }

    static void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size,
                         const std::wstring& key = kKey) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name, type, data, size),
                  ERROR_SUCCESS);
    }
    static void SetText(const wchar_t* name, const std::wstring& text) {
        SetValue(name, REG_SZ, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)));
    }
    // The text value name of key, or "(none)".
    static std::wstring TextOf(const std::wstring& key, const wchar_t* name) {
        wchar_t text[256] = {};
        DWORD size = sizeof text;
        if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, text,
                         &size) != ERROR_SUCCESS) {
            return L"(none)";
        }
        return text;
    }

    static inline const std::wstring kKey = std::wstring(kTests) + L"\\General";
};

TEST_F(RegistryStore, AFirstStartReadsTheDefaultsAndTheThreeListsComeBackAsWritten) {
    RegistrySettingsStore first(kKey);
    EXPECT_EQ(first.Condition().State, StoreCondition::Kind::Read);
    EXPECT_EQ(first.Read("AllowedIPString", "127.0.0.1,::1"), "127.0.0.1,::1");
    EXPECT_EQ(first.Location(), "HKEY_CURRENT_USER\\Software\\QuarnelTests\\General");

    first.Write("BlockedLocalPortsString", "139,445");
    first.Write("BlockedRemotePortsString", "");
    first.Write("AllowedIPString", "10.0.0.0/8,2001:db8::7");
    ASSERT_TRUE(first.Flush());
    EXPECT_EQ(first.Read("BlockedLocalPortsString", "x"), "139,445");
    // Plain text values, as a user sees them in the registry editor.
    EXPECT_EQ(TextOf(kKey, L"BlockedLocalPortsString"), L"139,445");
    EXPECT_EQ(TextOf(kKey, L"BlockedRemotePortsString"), L"");
    EXPECT_EQ(TextOf(kKey, L"AllowedIPString"), L"10.0.0.0/8,2001:db8::7");

    RegistrySettingsStore next(kKey);
    EXPECT_EQ(next.Condition().State, StoreCondition::Kind::Read);
    EXPECT_EQ(next.Read("BlockedLocalPortsString", ""), "139,445");
    EXPECT_EQ(next.Read("BlockedRemotePortsString", "x"), "");  // an empty list is kept as such
    EXPECT_EQ(next.Read("AllowedIPString", "127.0.0.1,::1"), "10.0.0.0/8,2001:db8::7");
}

// A value that is no plain text is never read as rules nor lost: the key is kept beside itself,
// whole, and the store starts empty; a second one is kept under another name.
TEST_F(RegistryStore, AValueItCannotReadIsKeptAsideWithTheWholeKeyAndSaid) {
    const DWORD number = 445;
    SetValue(L"BlockedLocalPortsString", REG_DWORD, &number, sizeof number);
    SetText(L"AllowedIPString", L"192.0.2.7");
    SetText(L"SomethingElse", L"kept too");
    RegistrySettingsStore store(kKey);
    const StoreCondition condition = store.Condition();
    EXPECT_EQ(condition.State, StoreCondition::Kind::SetAside);
    EXPECT_EQ(condition.Detail,
              "HKEY_CURRENT_USER\\Software\\QuarnelTests\\General.not-understood");
    EXPECT_EQ(store.Read("AllowedIPString", "127.0.0.1,::1"), "127.0.0.1,::1");
    const std::wstring aside = kKey + L".not-understood";
    DWORD kept = 0, size = sizeof kept;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, aside.c_str(), L"BlockedLocalPortsString",
                           RRF_RT_REG_DWORD, nullptr, &kept, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(kept, number);
    EXPECT_EQ(TextOf(aside, L"AllowedIPString"), L"192.0.2.7");
    EXPECT_EQ(TextOf(aside, L"SomethingElse"), L"kept too");
    EXPECT_EQ(TextOf(kKey, L"AllowedIPString"), L"(none)");

    // Saving then writes the lists afresh; the copy stays.
    store.Write("AllowedIPString", "127.0.0.1");
    ASSERT_TRUE(store.Flush());
    EXPECT_EQ(TextOf(kKey, L"AllowedIPString"), L"127.0.0.1");

    // Text with a line break in it, or a NUL, is no list either.
    const wchar_t broken[] =
        L"80\0"
        L"443";
    SetValue(L"BlockedRemotePortsString", REG_SZ, broken, sizeof broken);
    RegistrySettingsStore again(kKey);
    EXPECT_EQ(again.Condition().State, StoreCondition::Kind::SetAside);
    EXPECT_EQ(again.Condition().Detail,
              "HKEY_CURRENT_USER\\Software\\QuarnelTests\\General.not-understood-2");
    EXPECT_EQ(TextOf(aside, L"AllowedIPString"), L"192.0.2.7");
}

TEST_F(RegistryStore, AnEmptyStringAndOneWithoutItsEndReadAsTheirText) {
    SetValue(L"BlockedRemotePortsString", REG_SZ, L"", 0);
    SetValue(L"BlockedLocalPortsString", REG_SZ, L"22", 2 * sizeof(wchar_t));
    RegistrySettingsStore store(kKey);
    EXPECT_EQ(store.Condition().State, StoreCondition::Kind::Read);
    EXPECT_EQ(store.Read("BlockedRemotePortsString", "x"), "");
    EXPECT_EQ(store.Read("BlockedLocalPortsString", "x"), "22");
}

// The key's access for everyone: read denied, or everything allowed again.
void SetKeyAccess(const std::wstring& key, const wchar_t* descriptor) {
    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, WRITE_DAC, &opened), ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR security = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     &security, nullptr));
    EXPECT_EQ(RegSetKeySecurity(opened, DACL_SECURITY_INFORMATION, security), ERROR_SUCCESS);
    (void)LocalFree(security);
    (void)RegCloseKey(opened);
}

// A key it may not read is the user's business: no rule is read from it and nothing is written
// over it, and the store says why.
TEST_F(RegistryStore, AKeyItMayNotReadIsLeftAloneAndNothingIsWritten) {
    SetText(L"BlockedLocalPortsString", L"22");
    SetKeyAccess(kKey, L"D:(D;;KR;;;WD)(A;;KA;;;WD)");
    RegistrySettingsStore store(kKey);
    const StoreCondition condition = store.Condition();
    EXPECT_EQ(condition.State, StoreCondition::Kind::Unreadable);
    EXPECT_FALSE(condition.Detail.empty());  // why, in the system's words
    EXPECT_EQ(store.Read("BlockedLocalPortsString", ""), "");
    store.Write("BlockedLocalPortsString", "80");
    EXPECT_FALSE(store.Flush());
    SetKeyAccess(kKey, L"D:(A;;KA;;;WD)");
    EXPECT_EQ(TextOf(kKey, L"BlockedLocalPortsString"), L"22");
}

}  // namespace
}  // namespace quarnel::testing
