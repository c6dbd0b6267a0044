#include "lists/ContactImport.h"

#include <cstdio>
#include <memory>

#include "lists/CFilterLists.h"
#include "support/StringUtils.h"

bool ContactAddressFromText(const std::string& text, std::string& address) {
    if (text.empty()) {
        return false;
    }
    if (text.find_first_of("<>") == std::string::npos) {
        address = text;
        return true;
    }
    std::string inside = text;
    if (!ExtractAddress(inside) || inside.empty()) {
        return false;
    }
    address = inside;
    return true;
}

namespace {

bool EndsWith(const std::string& text, const char* tail) {
    std::string end(tail);
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool ReadAddressFile(const std::string& path, StringList& addresses) {
    if (path.size() > kMaxImportPathLength || !(EndsWith(path, ".txt") || EndsWith(path, ".lst"))) {
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "rb"), fclose);
    if (!file) {
        return false;
    }
    char buffer[kMaxImportLineLength + 1];
    size_t lines = 0;
    while (lines < kMaxImportLines && fgets(buffer, sizeof buffer, file.get()) != nullptr) {
        ++lines;
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        SplitList(line, addresses, true);
    }
    return true;
}

int AddAddressesToList(CFilterLists& lists, int listId, StringList addresses) {
    RemoveDuplicates(addresses);
    int before = lists.GetCount(listId);
    for (const std::string& address : addresses) {
        lists.AddWord(address, listId);
    }
    return lists.GetCount(listId) - before;
}
