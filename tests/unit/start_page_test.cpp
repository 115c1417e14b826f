// The start page: one REG_SZ written under HKEY_CURRENT_USER on every supported
// run, with its terminator, and nothing done with a key that did not open.
#include <gmock/gmock.h>

#include "fake_platform.h"
#include "remediation/remediation.h"
#include "start_page_url.h"

using ::testing::ElementsAre;

namespace {

class StartPageTest : public FakeSystemTest {};

TEST_F(StartPageTest, MainWritesTheBuiltInAddressUnderCurrentUser) {
    system.SetAppData(L"C:\\p");

    EXPECT_EQ(platform::RunMain(), 0);

    ASSERT_EQ(system.registry.size(), 3u) << "expected create, set and close";
    const fake::RegistryCall& create = system.registry[0];
    const fake::RegistryCall& set = system.registry[1];
    const fake::RegistryCall& close = system.registry[2];
    EXPECT_EQ(create.operation, "RegCreateKeyA");
    EXPECT_EQ(create.root, 0x80000001u);
    EXPECT_EQ(create.text, "Software\\Microsoft\\Internet Explorer\\Main");
    EXPECT_EQ(set.operation, "RegSetValueExA");
    EXPECT_EQ(set.key, system.keyGiven) << "the value must go to the key that was opened";
    EXPECT_EQ(set.text, "Start Page");
    EXPECT_EQ(set.reserved, 0u);
    EXPECT_EQ(set.type, 1u) << "REG_SZ";
    const std::wstring url = remediation::StartPageUrl;
    EXPECT_EQ(set.data, std::string(url.begin(), url.end()) + '\0')
        << "the stored bytes are the address and one terminating zero";
    EXPECT_EQ(close.operation, "RegCloseKey");
    EXPECT_EQ(close.key, system.keyGiven);
}

TEST_F(StartPageTest, ByteCountIsOfTheConvertedText) {
    const std::wstring text = L"http://caf\u00e9.example";  // one character takes two bytes here

    remediation::SetRegistryText(platform::HKEY_CURRENT_USER, L"K\u00e9y", L"N\u00e4me", text);

    ASSERT_EQ(system.registry.size(), 3u);
    EXPECT_EQ(system.registry[0].text, fake::FakeAnsi(L"K\u00e9y")) << "the key path goes over in ANSI";
    EXPECT_EQ(system.registry[1].text, fake::FakeAnsi(L"N\u00e4me")) << "the value name goes over in ANSI";
    EXPECT_EQ(system.registry[1].data.size(), text.size() + 2) << "one extra byte for the two-byte character";
    EXPECT_EQ(system.registry[1].data, fake::FakeAnsi(text) + '\0');
}

TEST_F(StartPageTest, KeyThatCannotBeOpenedIsLeftAloneAndTheRunEndsWithStatusTwo) {
    for (const bool refused : {true, false}) {
        fake::Reset();
        system.SetAppData(L"C:\\p");
        if (refused)
            system.createKeyResult = 5;  // access denied
        else
            system.keyGiven = platform::NoRegistryKey;  // success, yet no key handed back

        EXPECT_EQ(platform::RunMain(), 2) << "a deployment tool must not count this desktop as done";

        EXPECT_THAT(system.calls.back(), L"RegCreateKeyA Software\\Microsoft\\Internet Explorer\\Main")
            << "no write and no close with a key that is not open";
        EXPECT_TRUE(system.boxes.empty()) << "the start page stays silent, also when it fails";
        EXPECT_TRUE(system.reports.empty());
    }
}

TEST_F(StartPageTest, ValueThatCannotBeSetEndsWithStatusTwoAndTheKeyIsClosed) {
    // The owner may open a key whose DACL grants it only reading; the write then fails.
    system.SetAppData(L"C:\\p");
    system.setValueResult = 5;

    EXPECT_EQ(platform::RunMain(), 2);

    ASSERT_EQ(system.registry.size(), 3u);
    EXPECT_EQ(system.registry[2].operation, "RegCloseKey") << "the key must be closed after a failed write too";
    EXPECT_TRUE(system.boxes.empty());
    EXPECT_TRUE(system.reports.empty());
}

TEST_F(StartPageTest, StatusTwoFollowsAConfirmedRemoval) {
    const std::wstring shortcut = L"C:\\p\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";
    system.SetAppData(L"C:\\p");
    system.files[shortcut] = 0x20;
    system.setValueResult = 5;

    EXPECT_EQ(platform::RunMain(), 2);

    EXPECT_THAT(system.deleted, ElementsAre(shortcut)) << "the shortcut step does not depend on the start page";
    EXPECT_EQ(system.boxes.size(), 1u);
}

}  // namespace
