#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The entries of one filter list, in byte order of their words. Not locked:
// CFilterLists guards every list it holds.
class CFilterList {
public:
    struct Entry {
        std::string words;
        int32_t flags = 1;
    };

    int GetCount() const { return static_cast<int>(m_entries.size()); }
    const Entry& GetAt(int index) const { return m_entries[static_cast<size_t>(index)]; }
    std::vector<Entry> GetEntries() const { return m_entries; }

    // Index of the first entry that fits the text, or -1: as a whole word
    // regardless of case when wholeWord is true, else by exact equality.
    int Find(const std::string& text, bool wholeWord) const;
    // Index of the entry equal to the word (case-sensitive), or -1.
    int IndexOf(const std::string& word) const;
    // Inserts before the first entry that sorts after the word; -1 without
    // change when an equal entry comes first.
    int InsertSorted(const std::string& word, int32_t flags);
    // Appends in the order given (loading).
    void Append(const std::string& word, int32_t flags);
    void RemoveAt(int index);
    void Clear();

    // The occurrence test of CFilterLists::MatchWords on texts that are
    // already lower-case.
    static bool MatchLowered(const std::string& haystack, const std::string& needle,
                             bool wholeWord);

    bool loaded = false;

private:
    std::vector<Entry> m_entries;
    // Lower-case copies of the words, so that a search lowers only its text.
    std::vector<std::string> m_lower;
};
