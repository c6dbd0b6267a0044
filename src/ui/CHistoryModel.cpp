#include "ui/CHistoryModel.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "ui/CIconPainter.h"
#include "ui/UiText.h"

namespace {

struct IconEntry {
    uint32_t status;
    bool pending;
    int image;
};
// Delivered has no image for pending tasks: such a record falls back to 0.
constexpr IconEntry kIcons[] = {
    {ES_OnServer, false, 2},   {ES_OnServer, true, 3}, {ES_Quarantined, false, 4},
    {ES_Quarantined, true, 5}, {ES_Deleted, false, 0}, {ES_Deleted, true, 1},
    {ES_Delivered, false, 8},
};

std::atomic<int> g_sortColumn{CHistoryModel::C_Received};
std::atomic<bool> g_sortAscending{true};

// Texts are single-byte; only A to Z fold, as everywhere else in the program.
struct FoldTable {
    unsigned char fold[256];
    FoldTable() {
        for (int c = 0; c < 256; ++c) {
            fold[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
    }
};
const FoldTable kFold;

// A strict order for the columns that are not text; descending swaps the
// operands, so equal keys stay equivalent either way and the sort stays well
// defined.
bool Less(int column, const CEmailData& a, const CEmailData& b) {
    switch (column) {
        case CHistoryModel::C_Received:
            return a.m_myTimestamp < b.m_myTimestamp;
        case CHistoryModel::C_Status:
            return a.m_status < b.m_status;
        default:
            return false;
    }
}

constexpr size_t kLongestKept = 40;

// Keeps the few longest texts; measuring all of them in the font would cost
// more than the whole refill.
void KeepLongest(std::vector<const std::string*>& all, std::vector<std::string>& out) {
    size_t keep = std::min(kLongestKept, all.size());
    std::partial_sort(
        all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep), all.end(),
        [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
    out.clear();
    for (size_t i = 0; i < keep; ++i) {
        out.push_back(*all[i]);
    }
}

}  // namespace

CHistoryModel::CHistoryModel(QObject* parent) : QAbstractTableModel(parent) {}

uint32_t CHistoryModel::ViewMask(int view) {
    constexpr int kNamed = static_cast<int>(std::size(kEmailViews));
    // One past the named views: every status, whatever it is.
    if (view == kNamed) {
        return 0;
    }
    if (view < 0 || view > kNamed) {
        return kEmailViews[0].mask;
    }
    return kEmailViews[view].mask;
}

bool CHistoryModel::Shows(uint32_t statusMask, uint32_t reasonMask, const CEmailData& record) {
    bool status = statusMask == 0 || (record.m_status & statusMask) != 0;
    // The full mask lets every reason through, ER_None included: a record
    // not yet (or never) given a reason must not vanish from every view.
    bool reason =
        reasonMask == 0 || reasonMask == kReasonMask || (record.m_reason & reasonMask) != 0;
    return status && reason;
}

int CHistoryModel::ImageIndex(const CEmailData& record) {
    int image = 0;
    bool pending = record.m_todo != 0;
    for (const IconEntry& entry : kIcons) {
        if (entry.status == record.m_status && entry.pending == pending) {
            image = entry.image;
        }
    }
    return image;
}

QString CHistoryModel::ReceivedText(const CEmailData& record) {
    if (!record.m_headerTimestamp.empty()) {
        return FromStd(record.m_headerTimestamp);
    }
    return FromStd(CTimeText(static_cast<time_t>(record.m_myTimestamp)));
}

void CHistoryModel::Fill(std::vector<CEmailHistory::SnapshotEntry> snapshot, int view) {
    beginResetModel();
    m_rows.clear();
    uint32_t mask = ViewMask(view);
    size_t shown = 0;
    for (const auto& entry : snapshot) {
        shown += Shows(mask, kReasonMask, entry.record) ? 1 : 0;
    }
    m_rows.reserve(shown);
    for (auto& entry : snapshot) {
        if (Shows(mask, kReasonMask, entry.record)) {
            m_rows.push_back(Row{entry.key, std::move(entry.record)});
        }
    }
    m_order.resize(m_rows.size());
    for (size_t i = 0; i < m_order.size(); ++i) {
        m_order[i] = static_cast<int>(i);
    }
    SortRows();
    GatherExtents();
    endResetModel();
}

void CHistoryModel::Clear() {
    beginResetModel();
    m_rows.clear();
    m_order.clear();
    m_extents = Extents();
    endResetModel();
}

void CHistoryModel::ChooseSortColumn(int column) {
    if (column < 0 || column >= C_Count) {
        return;
    }
    if (column == g_sortColumn.load()) {
        g_sortAscending = !g_sortAscending.load();
    } else {
        g_sortColumn = column;
        g_sortAscending = true;
    }
}

int CHistoryModel::SortColumn() {
    return g_sortColumn.load();
}

bool CHistoryModel::SortAscending() {
    return g_sortAscending.load();
}

void CHistoryModel::ResetSort() {
    g_sortColumn = C_Received;
    g_sortAscending = true;
}

void CHistoryModel::Sort() {
    emit layoutAboutToBeChanged();
    // Selection and current item follow their records to the new rows.
    QModelIndexList before = persistentIndexList();
    std::vector<int> stored;
    stored.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& index : before) {
        stored.push_back(RowAt(index.row()) ? m_order[static_cast<size_t>(index.row())] : -1);
    }
    SortRows();
    if (!before.isEmpty()) {
        // Where each stored row went.
        std::vector<int> position(m_order.size());
        for (size_t i = 0; i < m_order.size(); ++i) {
            position[static_cast<size_t>(m_order[i])] = static_cast<int>(i);
        }
        QModelIndexList after;
        for (qsizetype i = 0; i < before.size(); ++i) {
            int row = stored[static_cast<size_t>(i)];
            after << (row < 0 ? QModelIndex()
                              : index(position[static_cast<size_t>(row)], before[i].column()));
        }
        changePersistentIndexList(before, after);
    }
    emit layoutChanged();
}

void CHistoryModel::SortRows() {
    int column = g_sortColumn.load();
    bool ascending = g_sortAscending.load();
    const std::vector<Row>& rows = m_rows;
    std::string CEmailData::*text = nullptr;
    switch (column) {
        case C_From:
            text = &CEmailData::m_sender;
            break;
        case C_Subject:
            text = &CEmailData::m_subject;
            break;
        case C_Account:
            text = &CEmailData::m_account;
            break;
        case C_Details:
            text = &CEmailData::m_reasonDetails;
            break;
        default:
            break;
    }
    if (!text) {
        // Records stay where they are; only their order moves.
        std::stable_sort(m_order.begin(), m_order.end(), [&rows, column, ascending](int a, int b) {
            const CEmailData& x = rows[static_cast<size_t>(a)].record;
            const CEmailData& y = rows[static_cast<size_t>(b)].record;
            return ascending ? Less(column, x, y) : Less(column, y, x);
        });
        return;
    }
    // Text columns: the folded texts side by side in one block, compared with
    // memcmp, so the sort neither folds a character twice nor chases every
    // record's own string.
    size_t total = 0;
    for (const Row& row : rows) {
        total += (row.record.*text).size();
    }
    std::string arena;
    arena.reserve(total);
    std::vector<std::pair<size_t, size_t>> spans(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string& value = rows[i].record.*text;
        spans[i] = {arena.size(), value.size()};
        for (char c : value) {
            arena.push_back(static_cast<char>(kFold.fold[static_cast<unsigned char>(c)]));
        }
    }
    const char* base = arena.data();
    auto less = [base, &spans](int a, int b) {
        const auto& x = spans[static_cast<size_t>(a)];
        const auto& y = spans[static_cast<size_t>(b)];
        int order = memcmp(base + x.first, base + y.first, std::min(x.second, y.second));
        return order != 0 ? order < 0 : x.second < y.second;
    };
    std::stable_sort(m_order.begin(), m_order.end(), [&less, ascending](int a, int b) {
        return ascending ? less(a, b) : less(b, a);
    });
}

const CHistoryModel::Row* CHistoryModel::RowAt(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= m_order.size()) {
        return nullptr;
    }
    return &m_rows[static_cast<size_t>(m_order[static_cast<size_t>(row)])];
}

int CHistoryModel::RowOf(const CEmailData* key) const {
    for (size_t i = 0; i < m_order.size(); ++i) {
        if (m_rows[static_cast<size_t>(m_order[i])].key == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void CHistoryModel::GatherExtents() {
    m_extents = Extents();
    std::vector<const std::string*> senders;
    std::vector<const std::string*> subjects;
    senders.reserve(m_rows.size());
    subjects.reserve(m_rows.size());
    std::vector<std::string> accounts;
    std::vector<uint32_t> statuses;
    for (const Row& row : m_rows) {
        senders.push_back(&row.record.m_sender);
        subjects.push_back(&row.record.m_subject);
        // Accounts and statuses are few; a short linear look is enough.
        if (std::find(accounts.begin(), accounts.end(), row.record.m_account) == accounts.end() &&
            accounts.size() < 200) {
            accounts.push_back(row.record.m_account);
        }
        if (std::find(statuses.begin(), statuses.end(), row.record.m_status) == statuses.end()) {
            statuses.push_back(row.record.m_status);
        }
    }
    KeepLongest(senders, m_extents.longestSenders);
    KeepLongest(subjects, m_extents.longestSubjects);
    for (const std::string& account : accounts) {
        m_extents.accounts << FromStd(account);
    }
    for (uint32_t status : statuses) {
        m_extents.statuses << FromStd(CEmailData::StatusText(status));
    }
}

int CHistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CHistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : C_Count;
}

QVariant CHistoryModel::data(const QModelIndex& index, int role) const {
    const Row* row = RowAt(index.row());
    if (!row || index.column() < 0 || index.column() >= C_Count) {
        return {};
    }
    const CEmailData& record = row->record;
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
            case C_From:
                return FromStd(record.m_sender);
            case C_Subject:
                return FromStd(record.m_subject);
            case C_Received:
                return ReceivedText(record);
            case C_Account:
                return FromStd(record.m_account);
            case C_Status:
                return FromStd(record.GetStatusText());
            case C_Details:
                return FromStd(record.m_reasonDetails);
            default:
                break;
        }
    } else if (role == Qt::DecorationRole && index.column() == C_From) {
        return CIconPainter::ListImage(ImageIndex(record));
    }
    return {};
}

QVariant CHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const kTitles[C_Count] = {"From",    "Subject", "Received",
                                                 "Account", "Status",  "Details"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < C_Count) {
        return tr(kTitles[section]);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}
