// SPDX-License-Identifier: GPL-3.0-or-later
// The page tabs of the main window: a tab row that wraps onto more rows when the window is too narrow
// for all eleven captions, like a multi-line tab control, so that no caption is ever hidden. From the
// keyboard: the Tab key reaches it, Left and Right step through the pages, and Ctrl+Tab and
// Ctrl+Shift+Tab do so from anywhere in the window, going round at the ends.
#pragma once

#include <QStringList>
#include <QWidget>

#include <functional>
#include <vector>

class QStyleOptionTab;

namespace sondeco {

class PageTabs final : public QWidget {
public:
    explicit PageTabs(QWidget* parent);

    void addTab(const QString& caption);
    int count() const { return static_cast<int>(captions_.size()); }
    QString tabText(int index) const;
    void setTabText(int index, const QString& caption);
    int currentIndex() const { return current_; }
    // Selects a tab; the handler runs when the selection changes, whoever changed it.
    void setCurrentIndex(int index);
    void setCurrentChangedHandler(std::function<void(int)> handler) { changed_ = std::move(handler); }

    QRect tabRect(int index) const;
    int rowCount() const { return rows_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void initStyleOption(QStyleOptionTab* option, int index) const;
    QSize tabSize(int index) const;
    // Places the tabs in rows for `width`; returns the number of rows.
    int layoutTabs(int width, std::vector<QRect>* rects) const;
    void relayout();
    // The page `step` tabs on, going round at the ends.
    void stepAround(int step);

    std::vector<QString> captions_;
    std::vector<QRect> rects_;
    int current_ = -1;
    int rows_ = 1;
    std::function<void(int)> changed_;
};

}  // namespace sondeco
