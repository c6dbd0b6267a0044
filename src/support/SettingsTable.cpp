#include "support/SettingsTable.h"

#include <strings.h>

const SettingDef* FindSetting(const char* section, const char* key) {
    for (const auto& def : kSettingsTable) {
        bool sameSection = (section == nullptr && def.section == nullptr) ||
                           (section && def.section && strcasecmp(section, def.section) == 0);
        if (sameSection && strcasecmp(key, def.key) == 0) {
            return &def;
        }
    }
    return nullptr;
}
