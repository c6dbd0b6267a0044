#include <QLineEdit>
#include <QtTest>
#include <memory>

#include "Screenshot.h"
#include "TempHome.h"
#include "history/CEmailData.h"
#include "history/CEmailHistory.h"
#include "ui/CHistoryModel.h"
#include "ui/CIconPainter.h"
#include "ui/CNewMailTones.h"
#include "ui/CPropertiesDlg.h"
#include "ui/CStatusLine.h"

namespace {

CEmailData Record(uint32_t status, uint32_t todo = 0, const std::string& sender = "a@x.org",
                  const std::string& subject = "s", uint32_t received = 1000, uint32_t reason = 1) {
    CEmailData record("Home", received, sender, subject, 1, "", "", 1, status, reason, "", "", 0);
    record.m_todo = todo;
    return record;
}

std::vector<CEmailHistory::SnapshotEntry> Snapshot(const std::vector<CEmailData>& records) {
    std::vector<CEmailHistory::SnapshotEntry> out;
    for (size_t i = 0; i < records.size(); ++i) {
        // Keys only name records; any distinct address will do.
        out.push_back({reinterpret_cast<const CEmailData*>(0x1000 + i * 16), records[i]});
    }
    return out;
}

QStringList Column(const CHistoryModel& model, int column) {
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row) {
        out << model.data(model.index(row, column), Qt::DisplayRole).toString();
    }
    return out;
}

}  // namespace

class TestHistoryModel : public QObject {
    Q_OBJECT

private slots:
    void init() { CHistoryModel::ResetSort(); }

    void viewsAndMasks_data() {
        QTest::addColumn<int>("view");
        QTest::addColumn<uint32_t>("status");
        QTest::addColumn<uint32_t>("reason");
        QTest::addColumn<bool>("shown");
        QTest::newRow("on server in On Server") << 0 << uint32_t(ES_OnServer) << 1u << true;
        QTest::newRow("quarantined not in On Server")
            << 0 << uint32_t(ES_Quarantined) << 1u << false;
        QTest::newRow("quarantined in Quarantined") << 1 << uint32_t(ES_Quarantined) << 1u << true;
        QTest::newRow("deleted in Deleted") << 2 << uint32_t(ES_Deleted) << 1u << true;
        QTest::newRow("delivered not in Deleted") << 2 << uint32_t(ES_Delivered) << 1u << false;
        QTest::newRow("delivered in All") << 3 << uint32_t(ES_Delivered) << 1u << true;
        QTest::newRow("unknown not in All") << 3 << uint32_t(ES_Unknown) << 1u << false;
        QTest::newRow("unknown in the hidden view") << 4 << uint32_t(ES_Unknown) << 1u << true;
        QTest::newRow("no reason passes the full reason mask")
            << 3 << uint32_t(ES_OnServer) << 0u << true;
        QTest::newRow("reason beyond the mask still passes")
            << 3 << uint32_t(ES_OnServer) << 0x10000000u << true;
        QTest::newRow("out of range view is On Server")
            << 99 << uint32_t(ES_OnServer) << 1u << true;
    }
    void viewsAndMasks() {
        QFETCH(int, view);
        QFETCH(uint32_t, status);
        QFETCH(uint32_t, reason);
        QFETCH(bool, shown);
        CHistoryModel model;
        model.Fill(Snapshot({Record(status, 0, "a@x.org", "s", 1000, reason)}), view);
        QCOMPARE(model.rowCount() == 1, shown);
    }

    void narrowReasonMask() {
        CEmailData friendly = Record(ES_OnServer, 0, "a", "s", 1, 0x2);
        QVERIFY(CHistoryModel::Shows(1, 0x2, friendly));
        QVERIFY(!CHistoryModel::Shows(1, 0x4, friendly));
        QVERIFY(!CHistoryModel::Shows(2, 0x2, friendly));
        QVERIFY(CHistoryModel::Shows(0, 0, friendly));
        QVERIFY(!CHistoryModel::Shows(1, 0x4, Record(ES_OnServer, 0, "a", "s", 1, 0)));
    }

    void iconTable_data() {
        QTest::addColumn<uint32_t>("status");
        QTest::addColumn<uint32_t>("todo");
        QTest::addColumn<int>("image");
        QTest::newRow("deleted") << uint32_t(ES_Deleted) << 0u << 0;
        QTest::newRow("deleted pending") << uint32_t(ES_Deleted) << 4u << 1;
        QTest::newRow("on server") << uint32_t(ES_OnServer) << 0u << 2;
        QTest::newRow("on server pending") << uint32_t(ES_OnServer) << 1u << 3;
        QTest::newRow("quarantined") << uint32_t(ES_Quarantined) << 0u << 4;
        QTest::newRow("quarantined pending") << uint32_t(ES_Quarantined) << 8u << 5;
        QTest::newRow("delivered") << uint32_t(ES_Delivered) << 0u << 8;
        QTest::newRow("delivered with tasks has no image of its own")
            << uint32_t(ES_Delivered) << 2u << 0;
        QTest::newRow("unknown") << uint32_t(ES_Unknown) << 0u << 0;
        QTest::newRow("two status bits match no row") << 3u << 0u << 0;
    }
    void iconTable() {
        QFETCH(uint32_t, status);
        QFETCH(uint32_t, todo);
        QFETCH(int, image);
        QCOMPARE(CHistoryModel::ImageIndex(Record(status, todo)), image);
    }

    void imagesDifferWithoutColour() {
        // Each image in grey must still differ from every other one.
        std::vector<QImage> grey;
        for (int index : {0, 1, 2, 3, 4, 5, 8}) {
            QImage image =
                CIconPainter::ListImage(index).toImage().convertToFormat(QImage::Format_Grayscale8);
            QCOMPARE(image.size(), QSize(16, 16));
            for (const QImage& other : grey) {
                QVERIFY2(image != other, qPrintable(QStringLiteral("image %1").arg(index)));
            }
            grey.push_back(image);
        }
        QCOMPARE(CIconPainter::ListImage(-1).toImage(), CIconPainter::ListImage(0).toImage());
        QCOMPARE(CIconPainter::ListImage(99).toImage(), CIconPainter::ListImage(0).toImage());
        std::vector<QImage> tray;
        for (int frame = 0; frame < 4; ++frame) {
            QImage image = CIconPainter::TrayIcon(frame).pixmap(16, 16).toImage().convertToFormat(
                QImage::Format_Grayscale8);
            for (const QImage& other : tray) {
                QVERIFY(image != other);
            }
            tray.push_back(image);
        }
    }

    void sortRules() {
        CHistoryModel model;
        model.Fill(Snapshot({Record(ES_OnServer, 0, "bob@x", "b", 300),
                             Record(ES_OnServer, 0, "Alice@x", "C", 100),
                             Record(ES_OnServer, 0, "carl@x", "a", 200)}),
                   0);
        // Received ascending at first.
        QCOMPARE(Column(model, 0), QStringList({"Alice@x", "carl@x", "bob@x"}));
        CHistoryModel::ChooseSortColumn(CHistoryModel::C_Received);
        model.Sort();
        QVERIFY(!CHistoryModel::SortAscending());
        QCOMPARE(Column(model, 0), QStringList({"bob@x", "carl@x", "Alice@x"}));
        // Another column starts ascending, case-insensitively.
        CHistoryModel::ChooseSortColumn(CHistoryModel::C_From);
        model.Sort();
        QVERIFY(CHistoryModel::SortAscending());
        QCOMPARE(Column(model, 0), QStringList({"Alice@x", "bob@x", "carl@x"}));
        CHistoryModel::ChooseSortColumn(CHistoryModel::C_Subject);
        model.Sort();
        QCOMPARE(Column(model, 1), QStringList({"a", "b", "C"}));
        CHistoryModel::ChooseSortColumn(CHistoryModel::C_Subject);
        model.Sort();
        QCOMPARE(Column(model, 1), QStringList({"C", "b", "a"}));
        // Out of range columns change nothing.
        CHistoryModel::ChooseSortColumn(-1);
        CHistoryModel::ChooseSortColumn(6);
        QCOMPARE(CHistoryModel::SortColumn(), int(CHistoryModel::C_Subject));
        // The order is shared: a new model sorts the same way.
        CHistoryModel other;
        other.Fill(Snapshot({Record(ES_OnServer, 0, "x", "a"), Record(ES_OnServer, 0, "y", "z")}),
                   0);
        QCOMPARE(Column(other, 1), QStringList({"z", "a"}));
    }

    void textOrderFoldsOnlyAsciiLetters() {
        // Equal texts keep their history order; bytes above 127 sort after
        // letters and do not fold.
        CHistoryModel::ChooseSortColumn(CHistoryModel::C_From);
        CHistoryModel model;
        model.Fill(Snapshot({Record(ES_OnServer, 0, "b"), Record(ES_OnServer, 0, "AB"),
                             Record(ES_OnServer, 0, "a"), Record(ES_OnServer, 0, "\xc9"),
                             Record(ES_OnServer, 0, "\xe9"), Record(ES_OnServer, 0, "Ab"),
                             Record(ES_OnServer, 0, "")}),
                   0);
        std::vector<std::string> order;
        for (int row = 0; row < model.rowCount(); ++row) {
            order.push_back(model.RowAt(row)->record.m_sender);
        }
        QCOMPARE(order, (std::vector<std::string>{"", "a", "AB", "Ab", "b", "\xc9", "\xe9"}));
        CHistoryModel::ChooseSortColumn(CHistoryModel::C_From);
        model.Sort();
        QCOMPARE(model.RowAt(0)->record.m_sender, std::string("\xe9"));
        QCOMPARE(model.RowAt(6)->record.m_sender, std::string(""));
    }

    void equalTimesAndStatusOrder() {
        // Many equal keys in both directions: a well-formed order never
        // loses or repeats a row.
        std::vector<CEmailData> records;
        for (int i = 0; i < 500; ++i) {
            records.push_back(Record(i % 3 ? ES_OnServer : ES_Deleted, 0, "s" + std::to_string(i),
                                     "t", 1000 + i % 2));
        }
        CHistoryModel model;
        for (int column : {2, 2, 4, 4}) {
            CHistoryModel::ChooseSortColumn(column);
            model.Fill(Snapshot(records), 3);
            QStringList senders = Column(model, 0);
            QCOMPARE(senders.size(), 500);
            QCOMPARE(QSet<QString>(senders.begin(), senders.end()).size(), 500);
        }
        CHistoryModel::ChooseSortColumn(CHistoryModel::C_Status);  // flips back to ascending
        QVERIFY(CHistoryModel::SortAscending());
        model.Fill(Snapshot({Record(ES_Delivered), Record(ES_OnServer), Record(ES_Deleted)}), 3);
        QCOMPARE(Column(model, 4),
                 QStringList({QString::fromStdString(CEmailData::StatusText(1)),
                              QString::fromStdString(CEmailData::StatusText(4)),
                              QString::fromStdString(CEmailData::StatusText(8))}));
    }

    void columnsTextAndBadIndexes() {
        CEmailData dated = Record(ES_OnServer, 0, "a", "s", 0);
        dated.m_headerTimestamp = "Mon, 1 Jan 2024 10:00:00";
        dated.m_reasonDetails = "details";
        CEmailData undated = Record(ES_OnServer, 0, "b", "s", 86400);
        CHistoryModel model;
        model.Fill(Snapshot({dated, undated}), 0);
        QCOMPARE(model.columnCount(), 6);
        QCOMPARE(model.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("Received"));
        QCOMPARE(model.data(model.index(0, 2), Qt::DisplayRole).toString(),
                 QStringLiteral("Mon, 1 Jan 2024 10:00:00"));
        QCOMPARE(model.data(model.index(1, 2), Qt::DisplayRole).toString(),
                 QString::fromStdString(CTimeText(86400)));
        QCOMPARE(model.data(model.index(0, 5), Qt::DisplayRole).toString(),
                 QStringLiteral("details"));
        QVERIFY(model.data(model.index(0, 0), Qt::DecorationRole).isValid());
        QVERIFY(!model.data(model.index(0, 1), Qt::DecorationRole).isValid());
        QVERIFY(!model.data(model.index(5, 0), Qt::DisplayRole).isValid());
        QVERIFY(model.RowAt(-1) == nullptr);
        QVERIFY(model.RowAt(2) == nullptr);
        QCOMPARE(model.RowOf(nullptr), -1);
    }

    void sortKeepsPersistentSelection() {
        CHistoryModel model;
        model.Fill(
            Snapshot({Record(ES_OnServer, 0, "a", "s", 1), Record(ES_OnServer, 0, "b", "s", 2),
                      Record(ES_OnServer, 0, "c", "s", 3)}),
            0);
        QPersistentModelIndex first(model.index(0, 0));
        QCOMPARE(first.data().toString(), QStringLiteral("a"));
        CHistoryModel::ChooseSortColumn(CHistoryModel::C_Received);  // descending
        model.Sort();
        QCOMPARE(first.row(), 2);
        QCOMPARE(first.data().toString(), QStringLiteral("a"));
    }

    void statusLineText_data() {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("range");
        QTest::addColumn<int>("position");
        QTest::addColumn<bool>("bar");
        QTest::addColumn<QString>("shown");
        const int all = 7;
        QTest::newRow("no range") << all << 0 << 0 << false << "work";
        QTest::newRow("half") << all << 200 << 100 << true << "work (50%)";
        QTest::newRow("rounding") << all << 3 << 2 << true << "work (67%)";
        QTest::newRow("full hides") << all << 10 << 10 << false << "work";
        QTest::newRow("past the range hides") << all << 10 << 12 << false << "work";
        QTest::newRow("full kept without flag 4") << 3 << 10 << 10 << true << "work (100%)";
        QTest::newRow("no percent on line 2") << 6 << 10 << 5 << true << "work";
        QTest::newRow("no progress style") << 1 << 10 << 5 << false << "work";
        QTest::newRow("negative range") << all << -5 << 1 << false << "work";
    }
    void statusLineText() {
        QFETCH(int, style);
        QFETCH(int, range);
        QFETCH(int, position);
        QFETCH(bool, bar);
        QFETCH(QString, shown);
        CStatusLine line(style);
        line.SetText(QStringLiteral("work"));
        line.SetRange(range);
        line.SetPosition(position);
        QCOMPARE(line.ShowsBar(), bar);
        QCOMPARE(line.ShownText(), shown);
        line.resize(200, 20);
        QVERIFY(!line.grab().isNull());
    }

    void propertiesRawText() {
        TempHome home;
        QCOMPARE(CPropertiesDlg::RawText(home.File("missing.eml")), std::string("File not found"));
        QCOMPARE(CPropertiesDlg::RawText(home.Path()), std::string("File not found"));
        TempHome::WriteFile(home.File("a.eml"),
                            std::string("Subject: x\n\nbody\r\nnul\0here\n", 27));
        QCOMPARE(CPropertiesDlg::RawText(home.File("a.eml")),
                 std::string("Subject: x\r\n\r\nbody\r\nnul here\r\n"));
        TempHome::WriteFile(home.File("big.eml"), std::string(100, 'x'));
        std::string cut = CPropertiesDlg::RawText(home.File("big.eml"), 10);
        QVERIFY(cut.rfind(std::string(10, 'x') + "\r\n\r\n[... only the first 10 bytes", 0) == 0);
        QCOMPARE(CPropertiesDlg::RawText(home.File("big.eml"), 100), std::string(100, 'x'));

        CEmailData unsaved = Record(ES_Quarantined);
        CPropertiesDlg none(unsaved);
        QCOMPARE(none.ShownRawText(), QStringLiteral("eMail has not been saved locally"));
        CEmailData saved = Record(ES_Quarantined);
        saved.m_emailFilename = home.File("a.eml");
        saved.m_reasonDetails = "Unknown Sender";
        CPropertiesDlg dialog(saved);
        QCOMPARE(dialog.ShownRawText(), QStringLiteral("Subject: x\n\nbody\nnul here\n"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(SaveShot(dialog, QStringLiteral("properties")));
    }

    // The Properties dialog shows what the account's own server found.
    void propertiesVerification_data() {
        QTest::addColumn<QString>("header");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QString>("shown");
        const QString top = QStringLiteral(
            "Authentication-Results: mx.home.example; dkim=pass header.d=b.example "
            "header.b=abc; spf=fail smtp.mailfrom=x@b.example\r\nReceived: from a by "
            "mx.home.example\r\n");
        QTest::newRow("verified") << top << true
                                  << QStringLiteral(
                                         "Verified: dkim=pass header.d=b.example "
                                         "header.b=abc; spf=fail "
                                         "smtp.mailfrom=x@b.example");
        QTest::newRow("forged below")
            << QStringLiteral(
                   "Received: from a by mx.home.example\r\nReceived: from b by "
                   "c.example\r\nAuthentication-Results: mx.home.example; "
                   "dmarc=pass header.from=b.example\r\n")
            << true << QStringLiteral("No results from the account's server");
        QTest::newRow("server unknown") << top << false
                                        << QStringLiteral(
                                               "Not available (the account's server "
                                               "writes no Authentication-Results)");
    }
    void propertiesVerification() {
        QFETCH(QString, header);
        QFETCH(bool, known);
        QFETCH(QString, shown);
        TempHome home;
        TempHome::WriteFile(home.File("m.eml"),
                            header.toStdString() + "From: <a@b.example>\r\n\r\nbody\r\n");
        CEmailData record = Record(ES_Quarantined);
        record.m_sender = "A <a@b.example>";
        record.m_emailFilename = home.File("m.eml");
        std::vector<std::string> ids;
        if (known) {
            ids.push_back("mx.home.example");
        }
        CPropertiesDlg dialog(record, nullptr, ids);
        QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("verificationField"))->text(), shown);
    }

    void toneWave() {
        QByteArray wave = CNewMailTones::MakeWave({800, 1100, 1400}, 100, 22050);
        QCOMPARE(wave.size(), 44 + 3 * 2205 * 2);
        QVERIFY(wave.startsWith("RIFF"));
        QCOMPARE(wave.mid(8, 8), QByteArray("WAVEfmt "));
        QCOMPARE(qFromLittleEndian<quint32>(wave.constData() + 4), quint32(wave.size() - 8));
        QCOMPARE(qFromLittleEndian<quint32>(wave.constData() + 40), quint32(wave.size() - 44));
        // The middle of the first tone is loud, its very start silent.
        auto sample = [&wave](int i) {
            return qFromLittleEndian<qint16>(wave.constData() + 44 + 2 * i);
        };
        QCOMPARE(sample(0), qint16(0));
        int loudest = 0;
        for (int i = 1000; i < 1100; ++i) {
            loudest = std::max(loudest, std::abs(int(sample(i))));
        }
        QVERIFY(loudest > 10000);
        QVERIFY(CNewMailTones::MakeWave({800}, 100, 0).isEmpty());
        QVERIFY(CNewMailTones::MakeWave({800}, -1).isEmpty());
        QVERIFY(CNewMailTones::MakeWave({800}, 100000).isEmpty());
        QCOMPARE(CNewMailTones::MakeWave({}, 100).size(), 44);
    }
};

QTEST_MAIN(TestHistoryModel)
#include "test_historymodel.moc"
