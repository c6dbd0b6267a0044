#include "secrets/CPasswordAccess.h"

#include <strings.h>

#include <filesystem>

#include "support/StringUtils.h"

namespace {

constexpr const char* kGeneral = "General";

// Wipes a plain copy of a secret before its memory is given back.
void Wipe(std::string& secret) {
    secret.assign(secret.size(), '\0');
    secret.clear();
}

void Fail(std::string* error, const std::string& why) {
    if (error) {
        *error = why;
    }
}

// Whether the settings file keeps text as it is: a "!" value is stored on one
// line, without blanks at its ends, and cut at 999 characters.
bool FileKeepsWhole(const std::string& secret) {
    return secret.size() <= CSettings::kMaxScrambledLength && !HasLineBreak(secret) &&
           (secret.empty() || (secret.front() != ' ' && secret.front() != '\t' &&
                               secret.back() != ' ' && secret.back() != '\t'));
}

}  // namespace

CPasswordAccess::Slot CPasswordAccess::Pop(const std::string& account) {
    return {"!PopPassword", account, CSecretStore::Kind::Pop};
}
CPasswordAccess::Slot CPasswordAccess::Smtp() {
    return {"!SmtpPassword", kGeneral, CSecretStore::Kind::Smtp};
}
CPasswordAccess::Slot CPasswordAccess::Remote() {
    return {"!RemoteCommandsPassword", kGeneral, CSecretStore::Kind::Remote};
}
CPasswordAccess::Slot CPasswordAccess::Update() {
    return {"!UpdatePassword", kGeneral, CSecretStore::Kind::Update};
}

CPasswordAccess::CPasswordAccess(const CSettings& settings, CSecretStore* store)
    : m_settings(settings), m_store(store) {
    // The profile is the program folder, the settings file's folder.
    std::error_code ignored;
    std::filesystem::path folder = std::filesystem::absolute(settings.GetPath(), ignored);
    m_profile = folder.parent_path().lexically_normal().string();
}

CPasswordAccess::Where CPasswordAccess::GetWhere() const {
    std::string where = m_settings.GetString(kStoreKey, kGeneral, "");
    if (strcasecmp(where.c_str(), "keyring") == 0) {
        return Where::Keyring;
    }
    if (strcasecmp(where.c_str(), "file") == 0) {
        return Where::File;
    }
    return Where::Unset;
}

const char* CPasswordAccess::WhereName(Where where) {
    switch (where) {
        case Where::Keyring:
            return "keyring";
        case Where::File:
            return "file";
        case Where::Unset:
            break;
    }
    return "";
}

CSecretStore::Key CPasswordAccess::KeyOf(const Slot& slot) const {
    return {m_profile, slot.section, slot.kind};
}

std::string CPasswordAccess::Label(const Slot& slot) {
    switch (slot.kind) {
        case CSecretStore::Kind::Pop:
            return "InboxWarden: POP3 password for " + slot.section;
        case CSecretStore::Kind::Smtp:
            return "InboxWarden: SMTP password";
        case CSecretStore::Kind::Remote:
            return "InboxWarden: remote command password";
        case CSecretStore::Kind::Update:
            return "InboxWarden: update password";
        case CSecretStore::Kind::OAuth:
            break;
    }
    return "InboxWarden: sign-in token for " + slot.section;
}

std::vector<CPasswordAccess::Slot> CPasswordAccess::Slots() const {
    StringList accounts;
    SplitList(m_settings.GetString("AccountsList", kGeneral, ""), accounts);
    std::vector<Slot> slots;
    for (const std::string& account : accounts) {
        slots.push_back(Pop(account));
    }
    slots.push_back(Smtp());
    slots.push_back(Remote());
    slots.push_back(Update());
    return slots;
}

bool CPasswordAccess::InFile(const Slot& slot) const {
    for (const std::string& key : m_settings.GetSectionKeys(slot.section)) {
        if (strcasecmp(key.c_str(), slot.iniKey.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

std::optional<CPasswordAccess::Slot> CPasswordAccess::SlotOf(const std::string& iniKey,
                                                             const std::string& section) {
    for (const Slot& slot : {Pop(section), Smtp(), Remote(), Update()}) {
        if (strcasecmp(slot.iniKey.c_str(), iniKey.c_str()) == 0) {
            return Slot{slot.iniKey, section, slot.kind};
        }
    }
    return std::nullopt;
}

std::optional<std::string> CPasswordAccess::Read(const Slot& slot, const std::string& fallback,
                                                 std::string* error) const {
    if (GetWhere() != Where::Keyring) {
        return m_settings.GetString(slot.iniKey, slot.section, fallback);
    }
    if (!m_store) {
        Fail(error, "No Secret Service in this program");
        return std::nullopt;
    }
    CSecretStore::Status status;
    std::optional<std::string> secret = m_store->Lookup(KeyOf(slot), status);
    if (!status.ok) {
        Fail(error, status.error);
        return std::nullopt;
    }
    return secret ? secret : fallback;
}

bool CPasswordAccess::Write(const Slot& slot, const std::string& value, std::string* error) {
    Where where = GetWhere();
    if (where == Where::Unset) {
        // Until a keyring answers, the file keeps them as it always did (the
        // window has told the user why); the first start with one moves them.
        where = MoveTo(Where::Keyring, error) ? Where::Keyring : Where::File;
    }
    if (where == Where::File) {
        if (m_settings.WriteString(slot.iniKey, value, slot.section)) {
            return true;
        }
        Fail(error, "The settings file cannot be written");
        return false;
    }
    if (!m_store) {
        Fail(error, "No Secret Service in this program");
        return false;
    }
    CSecretStore::Status status = value.empty() ? m_store->Remove(KeyOf(slot))
                                                : m_store->Store(KeyOf(slot), Label(slot), value);
    if (!status.ok) {
        Fail(error, status.error);
    }
    return status.ok;
}

bool CPasswordAccess::MoveTo(Where target, std::string* error) {
    if (!m_store) {
        Fail(error, "No Secret Service in this program");
        return false;
    }
    CSecretStore::Status available = m_store->Available();
    if (!available.ok) {
        Fail(error, available.error);
        return false;
    }
    return target == Where::Keyring ? MoveToKeyring(error) : MoveToFile(error);
}

bool CPasswordAccess::MigrateAtStart(std::string* error) {
    Where where = GetWhere();
    if (where == Where::File) {
        return true;
    }
    bool inFile = false;
    for (const Slot& slot : Slots()) {
        inFile = inFile || InFile(slot);
    }
    if (where == Where::Keyring && !inFile) {
        return true;
    }
    return MoveTo(Where::Keyring, error);
}

CPasswordAccess::StartCheck CPasswordAccess::CheckAtStart() {
    StartCheck check;
    const Where before = GetWhere();
    bool inFile = false;
    for (const Slot& slot : Slots()) {
        inFile = inFile || InFile(slot);
    }
    if (!MigrateAtStart(&check.why)) {
        check.usable = GetWhere() != Where::Keyring;
        return check;
    }
    check.moved = before != Where::File && inFile;
    if (GetWhere() == Where::Keyring && before == Where::Keyring && !inFile) {
        CSecretStore::Status status =
            m_store ? m_store->Available() : CSecretStore::Status::Failed("No Secret Service");
        check.usable = status.ok;
        check.why = status.error;
    }
    return check;
}

bool CPasswordAccess::MoveToKeyring(std::string* error) {
    struct Moved {
        CSecretStore::Key key;
        std::optional<std::string> before;  // the keyring's item it replaced
    };
    std::vector<Moved> moved;
    std::vector<CSettings::Change> changes;
    // Puts back what the keyring held, so a failed move leaves both as they were.
    auto undo = [&]() {
        for (Moved& item : moved) {
            if (item.before) {
                m_store->Store(item.key, Label(Slot{"", item.key.account, item.key.kind}),
                               *item.before);
                Wipe(*item.before);
            } else {
                m_store->Remove(item.key);
            }
        }
    };
    for (const Slot& slot : Slots()) {
        if (!InFile(slot)) {
            continue;
        }
        changes.push_back({slot.iniKey, slot.section, std::nullopt});
        std::string secret = m_settings.GetString(slot.iniKey, slot.section, "");
        if (secret.empty()) {
            continue;
        }
        CSecretStore::Key key = KeyOf(slot);
        CSecretStore::Status status;
        std::optional<std::string> before = m_store->Lookup(key, status);
        if (status.ok) {
            moved.push_back({key, std::move(before)});
            status = m_store->Store(key, Label(slot), secret);
        }
        std::optional<std::string> back;
        if (status.ok) {
            back = m_store->Lookup(key, status);
        }
        bool same = status.ok && back && *back == secret;
        Wipe(secret);
        if (back) {
            Wipe(*back);
        }
        if (!same) {
            undo();
            Fail(error, slot.iniKey.substr(1) + " of " + slot.section + ": " +
                            (status.ok ? "the keyring gave back another value" : status.error));
            return false;
        }
    }
    changes.push_back({kStoreKey, kGeneral, std::string("keyring")});
    if (!m_settings.Apply(changes)) {
        undo();
        Fail(error, "The settings file cannot be written");
        return false;
    }
    for (Moved& item : moved) {
        if (item.before) {
            Wipe(*item.before);
        }
    }
    return true;
}

bool CPasswordAccess::MoveToFile(std::string* error) {
    std::vector<Slot> slots = Slots();
    std::vector<std::pair<Slot, std::string>> found;
    auto wipeAll = [&found]() {
        for (auto& entry : found) {
            Wipe(entry.second);
        }
    };
    for (const Slot& slot : slots) {
        CSecretStore::Status status;
        std::optional<std::string> secret = m_store->Lookup(KeyOf(slot), status);
        if (!status.ok) {
            wipeAll();
            Fail(error, slot.iniKey.substr(1) + " of " + slot.section + ": " + status.error);
            return false;
        }
        if (!secret) {
            continue;
        }
        if (!FileKeepsWhole(*secret)) {
            Wipe(*secret);
            wipeAll();
            Fail(error, slot.iniKey.substr(1) + " of " + slot.section +
                            ": the settings file cannot keep this password as it is (line "
                            "breaks, blanks at its ends or over 999 characters)");
            return false;
        }
        found.emplace_back(slot, std::move(*secret));
        Wipe(*secret);
    }
    const std::string before = m_settings.GetString(kStoreKey, kGeneral, "");
    std::vector<CSettings::Change> changes;
    for (const auto& [slot, secret] : found) {
        changes.push_back({slot.iniKey, slot.section, secret});
    }
    changes.push_back({kStoreKey, kGeneral, std::string("file")});
    if (!m_settings.Apply(changes)) {
        wipeAll();
        Fail(error, "The settings file cannot be written");
        return false;
    }
    for (const auto& [slot, secret] : found) {
        std::string back = m_settings.GetString(slot.iniKey, slot.section, "");
        bool same = back == secret;
        Wipe(back);
        if (!same) {
            // Back to the file as it was: the keyring still holds everything.
            std::vector<CSettings::Change> undo;
            for (const auto& entry : found) {
                undo.push_back({entry.first.iniKey, entry.first.section, std::nullopt});
            }
            undo.push_back({kStoreKey, kGeneral,
                            before.empty() ? std::nullopt : std::optional<std::string>(before)});
            m_settings.Apply(undo);
            wipeAll();
            Fail(error, slot.iniKey.substr(1) + " of " + slot.section +
                            ": the settings file gave back another value");
            return false;
        }
    }
    wipeAll();
    // The file holds them now; an item the keyring keeps is a copy, not a loss.
    std::string leftovers;
    for (const Slot& slot : slots) {
        CSecretStore::Status status = m_store->Remove(KeyOf(slot));
        if (!status.ok && leftovers.empty()) {
            leftovers = "Moved, but the keyring kept a copy: " + status.error;
        }
    }
    if (!leftovers.empty()) {
        Fail(error, leftovers);
    }
    return true;
}
