// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/page_tabs.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QShortcut>
#include <QStyleOptionTab>
#include <QStylePainter>

namespace sondeco {

PageTabs::PageTabs(QWidget* parent) : QWidget(parent) {
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setFocusPolicy(Qt::StrongFocus);
    // Window-wide, as in any tabbed window: the text box below usually has the focus.
    for (const auto& [keys, step] : {std::pair{QKeySequence::NextChild, 1}, std::pair{QKeySequence::PreviousChild, -1}}) {
        auto* shortcut = new QShortcut(keys, this, [this, step = step] { stepAround(step); });
        shortcut->setContext(Qt::WindowShortcut);
    }
}

void PageTabs::addTab(const QString& caption) {
    captions_.push_back(caption);
    if (current_ < 0) current_ = 0;
    relayout();
}

QString PageTabs::tabText(int index) const {
    return index >= 0 && index < count() ? captions_[static_cast<std::size_t>(index)] : QString();
}

void PageTabs::setTabText(int index, const QString& caption) {
    if (index < 0 || index >= count() || captions_[static_cast<std::size_t>(index)] == caption) return;
    captions_[static_cast<std::size_t>(index)] = caption;
    relayout();
}

void PageTabs::setCurrentIndex(int index) {
    if (index < 0 || index >= count() || index == current_) return;
    current_ = index;
    relayout();
    if (changed_) changed_(index);
}

QRect PageTabs::tabRect(int index) const {
    return index >= 0 && index < static_cast<int>(rects_.size()) ? rects_[static_cast<std::size_t>(index)] : QRect();
}

void PageTabs::initStyleOption(QStyleOptionTab* option, int index) const {
    option->initFrom(this);
    option->shape = QTabBar::RoundedNorth;
    option->text = tabText(index);
    option->rect = tabRect(index);
    // The focus frame goes round the selected tab only, as a tab bar draws it.
    option->state &= ~QStyle::State_HasFocus;
    if (index == current_) option->state |= QStyle::State_Selected;
    if (index == current_ && hasFocus()) option->state |= QStyle::State_HasFocus;
    option->position = QStyleOptionTab::Middle;
    option->selectedPosition = QStyleOptionTab::NotAdjacent;
}

QSize PageTabs::tabSize(int index) const {
    QStyleOptionTab option;
    option.initFrom(this);
    option.shape = QTabBar::RoundedNorth;
    option.text = tabText(index);
    // As a tab bar measures its tabs: the caption plus the style's tab spacing, then the style's say.
    const QSize contents(fontMetrics().horizontalAdvance(option.text) + style()->pixelMetric(QStyle::PM_TabBarTabHSpace, &option, this),
                         fontMetrics().height() + style()->pixelMetric(QStyle::PM_TabBarTabVSpace, &option, this));
    return style()->sizeFromContents(QStyle::CT_TabBarTab, &option, contents, this);
}

int PageTabs::layoutTabs(int width, std::vector<QRect>* rects) const {
    // Fill rows left to right; then, as a multi-line tab control does, move the row holding the
    // selected tab to the bottom, next to the page it opens.
    std::vector<int> rowOf(static_cast<std::size_t>(count()));
    std::vector<int> x(static_cast<std::size_t>(count()));
    int rows = 1;
    int rowHeight = 0;
    int left = 0;
    for (int i = 0; i < count(); ++i) {
        const QSize size = tabSize(i);
        rowHeight = std::max(rowHeight, size.height());
        if (left > 0 && left + size.width() > width) {
            ++rows;
            left = 0;
        }
        rowOf[static_cast<std::size_t>(i)] = rows - 1;
        x[static_cast<std::size_t>(i)] = left;
        left += size.width();
    }
    if (rects == nullptr) return rows;
    const int selectedRow = current_ >= 0 && current_ < count() ? rowOf[static_cast<std::size_t>(current_)] : rows - 1;
    rects->assign(static_cast<std::size_t>(count()), QRect());
    for (int i = 0; i < count(); ++i) {
        const int row = rowOf[static_cast<std::size_t>(i)];
        const int shown = row == selectedRow ? rows - 1 : (row > selectedRow ? row - 1 : row);
        (*rects)[static_cast<std::size_t>(i)] = QRect(x[static_cast<std::size_t>(i)], shown * rowHeight, tabSize(i).width(), rowHeight);
    }
    return rows;
}

void PageTabs::relayout() {
    const int rows = layoutTabs(width(), &rects_);
    if (rows != rows_) {
        rows_ = rows;
        updateGeometry();
    }
    update();
}

QSize PageTabs::sizeHint() const {
    int width = 0;
    for (int i = 0; i < count(); ++i) width += tabSize(i).width();
    return {width, heightForWidth(width)};
}

QSize PageTabs::minimumSizeHint() const { return {0, heightForWidth(width())}; }

int PageTabs::heightForWidth(int width) const {
    const int rowHeight = count() > 0 ? tabSize(0).height() : fontMetrics().height();
    return layoutTabs(width, nullptr) * rowHeight;
}

void PageTabs::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    for (int i = 0; i < count(); ++i) {
        if (i == current_) continue;  // the selected tab is drawn last, over its neighbours
        QStyleOptionTab option;
        initStyleOption(&option, i);
        painter.drawControl(QStyle::CE_TabBarTab, option);
    }
    if (current_ >= 0) {
        QStyleOptionTab option;
        initStyleOption(&option, current_);
        painter.drawControl(QStyle::CE_TabBarTab, option);
    }
}

void PageTabs::mousePressEvent(QMouseEvent* event) {
    for (int i = 0; i < count(); ++i) {
        if (tabRect(i).contains(event->position().toPoint())) {
            setCurrentIndex(i);
            return;
        }
    }
    QWidget::mousePressEvent(event);
}

void PageTabs::keyPressEvent(QKeyEvent* event) {
    // Left and Right stop at the ends, as a tab bar's arrows do; only Ctrl+Tab goes round.
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && event->key() == Qt::Key_Left) {
        setCurrentIndex(current_ - 1);
    } else if (plain && event->key() == Qt::Key_Right) {
        setCurrentIndex(current_ + 1);
    } else {
        QWidget::keyPressEvent(event);
    }
}

void PageTabs::stepAround(int step) {
    if (count() == 0) return;
    setCurrentIndex(((current_ + step) % count() + count()) % count());
}

void PageTabs::focusInEvent(QFocusEvent* event) {
    update();
    QWidget::focusInEvent(event);
}

void PageTabs::focusOutEvent(QFocusEvent* event) {
    update();
    QWidget::focusOutEvent(event);
}

void PageTabs::resizeEvent(QResizeEvent*) { relayout(); }

void PageTabs::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) relayout();
    QWidget::changeEvent(event);
}

}  // namespace sondeco
