// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/up_down_control.h"

#include <QToolButton>

#include <algorithm>

namespace sondeco {

UpDownControl::UpDownControl(int minimum, int maximum, QWidget* parent)
    : QWidget(parent), minimum_(minimum), maximum_(maximum), position_(minimum) {
    up_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    up_->setAutoRepeat(true);
    up_->setFocusPolicy(Qt::NoFocus);
    down_ = new QToolButton(this);
    down_->setArrowType(Qt::DownArrow);
    down_->setAutoRepeat(true);
    down_->setFocusPolicy(Qt::NoFocus);
    connect(up_, &QToolButton::clicked, this, &UpDownControl::clickUp);
    connect(down_, &QToolButton::clicked, this, &UpDownControl::clickDown);
}

void UpDownControl::setPosition(int position) { position_ = std::clamp(position, minimum_, maximum_); }

void UpDownControl::clickUp() { step(+1); }

void UpDownControl::clickDown() { step(-1); }

void UpDownControl::step(int delta) {
    position_ = std::clamp(position_ + delta, minimum_, maximum_);
    // Every arrow click is reported, even at a limit, as the handlers expect.
    if (clicked_) clicked_();
}

void UpDownControl::resizeEvent(QResizeEvent*) {
    const int half = height() / 2;
    up_->setGeometry(0, 0, width(), half);
    down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace sondeco
