// Quarantine file names: whatever the sender, subject and account, the file
// SaveToQuarantine makes lies inside the quarantine folder, is named
// "<base>_<n>.eml" and holds the record's short message.
#include <fuzzer/FuzzedDataProvider.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "FuzzCheck.h"
#include "FuzzHome.h"
#include "engine/CInboxWardenEngine.h"
#include "history/CEmailData.h"
#include "support/CAppEnvironment.h"
#include "support/StringUtils.h"

namespace fs = std::filesystem;

namespace {

struct Setup {
    Setup() {
        FuzzHome::Get();
        env = new CAppEnvironment("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
        CAppEnvironment::SetInstance(env);
        engine = new CInboxWardenEngine;
        data = fs::weakly_canonical(env->GetDataFolder());
        root = data / "Quarantine";
    }
    CAppEnvironment* env;
    CInboxWardenEngine* engine;
    fs::path data;
    fs::path root;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Inside(const fs::path& path, const fs::path& folder) {
    auto [end, ignored] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return end == folder.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    FuzzedDataProvider input(data, size);
    std::string account = input.ConsumeRandomLengthString(160);
    std::string sender = input.ConsumeRandomLengthString(300);
    std::string subject = input.ConsumeRemainingBytesAsString();

    CEmailData email(account, 1000, sender, subject, 1, "text\r\n", "Mon, 1 Jan 2024", 10,
                     ES_Quarantined, 0, "", "", 0);
    bool saved = setup.engine->SaveToQuarantine(&email);
    const std::string& name = email.m_emailFilename;
    if (saved) {
        FUZZ_CHECK(name.find('\0') == std::string::npos, "NUL in the file name");
        fs::path file = fs::weakly_canonical(name);
        FUZZ_CHECK(Inside(file, setup.root) && file != setup.root,
                   "[%s] lies outside the quarantine folder", file.c_str());
        FUZZ_CHECK(fs::is_regular_file(file), "[%s] is no file", name.c_str());
        std::string leaf = file.filename().string();
        FUZZ_CHECK(leaf.size() > 4 && leaf.compare(leaf.size() - 4, 4, ".eml") == 0,
                   "[%s] is no .eml file", leaf.c_str());
        std::string base = sender + "_" + subject;
        MakeSafeName(base);
        FUZZ_CHECK(leaf.compare(0, std::min<size_t>(base.size(), 100), base, 0, 100) == 0,
                   "[%s] does not start with the base name", leaf.c_str());
        FUZZ_CHECK(ReadAll(file) == "\r\nFrom: " + sender +
                                        "\r\nDate: Mon, 1 Jan 2024\r\nSubject: " + subject +
                                        "\r\n\r\ntext\r\n",
                   "[%s] holds something else", name.c_str());
        fs::remove(file);
    } else {
        FUZZ_CHECK(name.empty(), "a failed save left the name [%s]", name.c_str());
    }
    // Nothing anywhere else: the data folder holds the quarantine root and
    // the files the program itself keeps there.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(setup.data, ec)) {
        std::string leaf = entry.path().filename().string();
        FUZZ_CHECK(leaf == "Quarantine" || leaf.compare(0, 11, "InboxWarden") == 0,
                   "[%s] appeared in the data folder", leaf.c_str());
    }
    // Keep the tree small: empty account folders go now and then.
    static int runs = 0;
    if (++runs % 256 == 0) {
        for (const auto& entry : fs::directory_iterator(setup.root, ec)) {
            fs::remove_all(entry.path(), ec);
        }
    }
    return 0;
}
