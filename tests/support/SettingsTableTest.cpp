#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/SettingsTable.h"

TEST(SettingsTable, ReadersAndDialogDefaultsDiffer) {
    const SettingDef* interval = FindSetting("general", "INTERVAL");
    ASSERT_NE(interval, nullptr);
    EXPECT_STREQ(interval->absent, "15");
    EXPECT_STREQ(interval->dialog, "600");
    const SettingDef* password = FindSetting("General", "!RemoteCommandsPassword");
    ASSERT_NE(password, nullptr);
    EXPECT_STREQ(password->absent, "");
    EXPECT_STREQ(password->dialog, "QX7315");
    EXPECT_EQ(password->kind, SK_Scrambled);
    EXPECT_NE(FindSetting(nullptr, "PopName"), nullptr);
    EXPECT_EQ(FindSetting("General", "PopName"), nullptr);
    EXPECT_EQ(FindSetting("General", "Nonsense"), nullptr);
}

TEST(SettingsTable, EveryKeyOnceAndBindingTablesEnd) {
    std::set<std::string> seen;
    for (const auto& def : kSettingsTable) {
        std::string section = def.section ? def.section : "<account>";
        EXPECT_TRUE(seen.insert(section + "/" + def.key).second) << def.key;
    }
    // The binding tables end with a row of control id 0 and an empty key.
    auto last = [](const SettingBinding* rows) {
        while (rows->controlId != 0) {
            ++rows;
        }
        return rows;
    };
    EXPECT_STREQ(last(kGeneralBindings)->key, "");
    EXPECT_STREQ(last(kAccountBindings)->key, "");
    EXPECT_STREQ(last(kPasswordBindings)->key, "");
    EXPECT_EQ(last(kGeneralBindings) - kGeneralBindings, 22);
}
