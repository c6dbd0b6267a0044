#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "history/CEmailHistory.h"

// The history list's rows: a snapshot of the records the current view shows,
// taken at each refill. Drawing and scrolling read only this copy, never the
// live history or the database, so a scan holding either never stalls them.
class CHistoryModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { C_From, C_Subject, C_Received, C_Account, C_Status, C_Details, C_Count };
    struct Row {
        const CEmailData* key;  // names the live record; never dereferenced
        CEmailData record;
    };
    // Statistics gathered while filling, for the column layout.
    struct Extents {
        std::vector<std::string> longestSenders;
        std::vector<std::string> longestSubjects;
        QStringList accounts;
        QStringList statuses;
    };

    explicit CHistoryModel(QObject* parent = nullptr);

    // The view table: status masks by view index; 4 is the hidden "everything".
    static uint32_t ViewMask(int view);
    static constexpr uint32_t kReasonMask = 0xfffffff;
    static bool Shows(uint32_t statusMask, uint32_t reasonMask, const CEmailData& record);
    // The image of a record (icon table); CIconPainter draws it.
    static int ImageIndex(const CEmailData& record);
    static QString ReceivedText(const CEmailData& record);

    // Replaces the rows with the records of the snapshot the view shows, in
    // history order, then sorts them.
    void Fill(std::vector<CEmailHistory::SnapshotEntry> snapshot, int view);
    void Clear();

    // The sort column and direction are shared by every list of the process.
    // Choosing the current column flips the direction; another column starts
    // ascending.
    static void ChooseSortColumn(int column);
    static int SortColumn();
    static bool SortAscending();
    static void ResetSort();  // column Received, ascending
    // Sorts the rows in place; a view keeps its persistent indexes.
    void Sort();

    const Row* RowAt(int row) const;
    int RowOf(const CEmailData* key) const;
    const Extents& GetExtents() const { return m_extents; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void SortRows();
    void GatherExtents();

    std::vector<Row> m_rows;   // in history order
    std::vector<int> m_order;  // display row -> index into m_rows
    Extents m_extents;
};
