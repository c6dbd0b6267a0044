#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TempHome.h"
#include "support/CAppEnvironment.h"

TEST(AppEnvironment, ProgramFolderFromHomeVariableAndPaths) {
    TempHome home;
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    EXPECT_EQ(env.GetProgramFolder(), home.Path());
    EXPECT_EQ(env.GetSettings().GetPath(), home.File("InboxWarden.ini"));
    EXPECT_EQ(env.GetDataFolder(), home.Path()) << "an empty DataFolder means the program folder";
    CAppEnvironment relative("InboxWarden", 0);
    EXPECT_EQ(relative.GetSettings().GetPath(), "InboxWarden.ini");
}

TEST(AppEnvironment, FolderOfPathKeepsSeparator) {
    EXPECT_EQ(CAppEnvironment::FolderOfPath("/usr/bin/inboxwarden"), "/usr/bin/");
    EXPECT_EQ(CAppEnvironment::FolderOfPath("/usr/bin/"), "/usr/");
    EXPECT_EQ(CAppEnvironment::FolderOfPath("C:\\Apps\\iw.exe"), "C:\\Apps\\");
    EXPECT_EQ(CAppEnvironment::FolderOfPath("/x"), "/x") << "the first character is not searched";
    unsetenv("INBOXWARDEN_HOME");
    std::string folder = CAppEnvironment::ComputeProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(folder + "test_support"));
}

TEST(AppEnvironment, DataFolderCreatedLevelByLevel) {
    TempHome home;
    std::string target = home.Path() + "one/two/three";
    {
        CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
        env.GetSettings().WriteString("DataFolder", target, "General");
        env.ReloadDataFolder();
        EXPECT_EQ(env.GetDataFolder(), target);
        EXPECT_TRUE(std::filesystem::is_directory(target));
    }
    // A component that is a file stops the creation: "." and a log line.
    std::string blocked = home.Path() + "file/sub";
    TempHome::WriteFile(home.File("file"), "x");
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    env.GetSettings().WriteString("DataFolder", blocked, "General");
    env.ReloadDataFolder();
    env.GetMainLog().Open("", CLogFile::LF_Enabled, 10);
    EXPECT_EQ(env.GetDataFolder(), ".");
    std::string log = TempHome::ReadFile(home.File("InboxWarden.log"));
    EXPECT_NE(log.find("GetDataFolder( " + blocked + " ) could not make sure folder exists!"),
              std::string::npos)
        << log;
}

TEST(AppEnvironment, RelativeDataFolderIsCreatedRelativeToCurrentFolder) {
    TempHome home;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(home.Path().c_str()), 0);
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    env.GetSettings().WriteString("DataFolder", "rel/data", "General");
    env.ReloadDataFolder();
    EXPECT_EQ(env.GetDataFolder(), "rel/data");
    EXPECT_TRUE(std::filesystem::is_directory(home.Path() + "rel/data"));
    ASSERT_EQ(chdir(old), 0);
}
