#include "lists/CFilterList.h"

#include <algorithm>

#include "support/StringUtils.h"

namespace {

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::string Lowered(const std::string& text) {
    std::string lower = text;
    ToLower(lower);
    return lower;
}

}  // namespace

bool CFilterList::MatchLowered(const std::string& haystack, const std::string& needle,
                               bool wholeWord) {
    if (needle.empty()) {
        return false;
    }
    size_t at = haystack.find(needle);
    if (at == std::string::npos) {
        return false;
    }
    if (!wholeWord) {
        return true;
    }
    bool startOk = at == 0 || !IsLetter(haystack[at - 1]);
    size_t end = at + needle.size();
    bool endOk = end >= haystack.size() || !IsLetter(haystack[end]);
    return startOk && endOk;
}

int CFilterList::Find(const std::string& text, bool wholeWord) const {
    if (!wholeWord) {
        for (size_t i = 0; i < m_entries.size(); ++i) {
            if (!m_entries[i].words.empty() && m_entries[i].words == text) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    std::string lower = Lowered(text);
    for (size_t i = 0; i < m_lower.size(); ++i) {
        if (MatchLowered(lower, m_lower[i], true)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CFilterList::IndexOf(const std::string& word) const {
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].words == word) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CFilterList::InsertSorted(const std::string& word, int32_t flags) {
    size_t at = 0;
    for (; at < m_entries.size(); ++at) {
        int order = m_entries[at].words.compare(word);
        if (order == 0) {
            return -1;
        }
        if (order > 0) {
            break;
        }
    }
    m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(at), Entry{word, flags});
    m_lower.insert(m_lower.begin() + static_cast<std::ptrdiff_t>(at), Lowered(word));
    return static_cast<int>(at);
}

void CFilterList::Append(const std::string& word, int32_t flags) {
    m_entries.push_back(Entry{word, flags});
    m_lower.push_back(Lowered(word));
}

void CFilterList::RemoveAt(int index) {
    if (index < 0 || index >= GetCount()) {
        return;
    }
    m_entries.erase(m_entries.begin() + index);
    m_lower.erase(m_lower.begin() + index);
}

void CFilterList::Clear() {
    m_entries.clear();
    m_lower.clear();
}
