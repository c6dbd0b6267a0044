#pragma once

#include <QString>
#include <QWidget>

// A status text that doubles as a progress bar: with progress shown and a
// range set, the bar fills position / range of the width under the text.
class CStatusLine : public QWidget {
    Q_OBJECT

public:
    enum Style : int {
        SS_AppendPercent = 1,  // "%s (%.0f%%)"
        SS_ShowProgress = 2,
        SS_HideWhenFull = 4,  // no bar once the position reaches the range
    };
    explicit CStatusLine(int style, QWidget* parent = nullptr);

    void SetText(const QString& text);
    QString Text() const { return m_text; }
    void SetRange(int range);
    void SetPosition(int position);
    int Range() const { return m_range; }
    int Position() const { return m_position; }
    bool ShowsBar() const;
    // What is drawn: the text, with the percentage while the bar shows.
    QString ShownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int m_style;
    QString m_text;
    int m_range = 0;
    int m_position = 0;
};
