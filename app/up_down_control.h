// SPDX-License-Identifier: GPL-3.0-or-later
// A pair of arrow buttons that step a position between a minimum and a maximum without wrapping,
// reporting every click, like the classic Windows up-down control.
#pragma once

#include <QWidget>

#include <functional>

class QToolButton;

namespace sondeco {

class UpDownControl final : public QWidget {
public:
    UpDownControl(int minimum, int maximum, QWidget* parent);

    int position() const { return position_; }
    void setPosition(int position);  // clamped; reports no click
    void clickUp();
    void clickDown();
    void setClickHandler(std::function<void()> handler) { clicked_ = std::move(handler); }

    QToolButton* upButton() const { return up_; }
    QToolButton* downButton() const { return down_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void step(int delta);

    int minimum_;
    int maximum_;
    int position_;
    QToolButton* up_;
    QToolButton* down_;
    std::function<void()> clicked_;
};

}  // namespace sondeco
