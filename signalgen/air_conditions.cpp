// SPDX-License-Identifier: GPL-3.0-or-later
#include "signalgen/air_conditions.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <utility>

namespace sondeco {
namespace {

constexpr double TwoPi = 2.0 * std::numbers::pi;
constexpr double EdgeSeconds = 0.005;

// Dots and dashes of the characters an identifier uses.
std::string_view morseCode(char c) {
    static constexpr std::array<std::string_view, 26> Letters{".-",   "-...", "-.-.", "-..",  ".",   "..-.", "--.",  "....", "..",
                                                              ".---", "-.-",  ".-..", "--",   "-.",  "---",  ".--.", "--.-", ".-.",
                                                              "...",  "-",    "..-",  "...-", ".--", "-..-", "-.--", "--.."};
    static constexpr std::array<std::string_view, 10> Digits{"-----", ".----", "..---", "...--", "....-",
                                                             ".....", "-....", "--...", "---..", "----."};
    const auto upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper >= 'A' && upper <= 'Z') return Letters[static_cast<std::size_t>(upper - 'A')];
    if (upper >= '0' && upper <= '9') return Digits[static_cast<std::size_t>(upper - '0')];
    if (upper == '/') return "-..-.";
    return {};
}

}  // namespace

RayleighFading::RayleighFading(double dopplerHz, double sampleRate, std::uint64_t seed) {
    if (!(dopplerHz > 0.0) || !(dopplerHz < sampleRate / 10.0))
        throw std::invalid_argument("the Doppler spread must be above 0 and below a tenth of the sample rate");
    // A gain worked out some 100 times a Doppler period is smooth enough to interpolate.
    stride_ = std::max(1, static_cast<int>(sampleRate / (100.0 * dopplerHz)));
    stride_ = std::min(stride_, 64);
    std::mt19937_64 random(seed);
    const auto uniform = [&random] { return (static_cast<double>(random() >> 11) + 0.5) * 0x1.0p-53; };
    // Arrivals evenly spread around the circle (turned by a random angle), so that the gain's
    // correlation over time follows the Jakes curve J0(2 pi fd tau) closely; random angles would
    // miss it by about 1 / sqrt(Paths).
    const double turn = uniform();
    for (int n = 0; n < Paths; ++n) {
        const double arrival = TwoPi * (n + turn) / Paths;
        angularSteps_.push_back(TwoPi * dopplerHz * std::cos(arrival) * stride_ / sampleRate);
        phases_.push_back(TwoPi * uniform());
    }
    update();
    previous_ = current_;
    update();
}

void RayleighFading::update() {
    std::complex<double> sum;
    for (std::size_t n = 0; n < phases_.size(); ++n) {
        sum += std::polar(1.0, phases_[n]);
        phases_[n] = std::remainder(phases_[n] + angularSteps_[n], TwoPi);
    }
    current_ = sum / std::sqrt(static_cast<double>(Paths));
}

std::complex<double> RayleighFading::next() {
    const double t = static_cast<double>(step_) / stride_;
    const std::complex<double> gain = previous_ + t * (current_ - previous_);
    if (++step_ == stride_) {
        step_ = 0;
        previous_ = current_;
        update();
    }
    return gain;
}

MorseKeyer::MorseKeyer(std::string_view text, double wordsPerMinute, double sampleRate) {
    if (!(wordsPerMinute > 0.0)) throw std::invalid_argument("the Morse speed must be positive");
    bool any = false;
    for (const char c : text) {
        if (c == ' ') {
            // A word space is 7 dots; the letter space before it already gave 3.
            if (!elements_.empty()) elements_.back().second = 7;
            continue;
        }
        const std::string_view code = morseCode(c);
        if (code.empty())
            throw std::invalid_argument("'" + std::string(text) +
                                        "' holds a character without a Morse code (letters, digits, / and spaces have one)");
        for (const char element : code) {
            elements_.emplace_back(true, element == '.' ? 1 : 3);
            elements_.emplace_back(false, 1);
        }
        elements_.back().second = 3;  // the space after a letter
        any = true;
    }
    if (!any) throw std::invalid_argument("a Morse identifier needs at least one character");
    elements_.back().second = 7;  // a word space before the text starts again
    dotSeconds_ = 1.2 / wordsPerMinute;
    samplesPerDot_ = dotSeconds_ * sampleRate;
    edgeSamples_ = std::max(1.0, EdgeSeconds * sampleRate);
}

double MorseKeyer::next() {
    const bool down = elements_[element_].first;
    // The envelope moves towards the key's state along a raised cosine, EdgeSeconds from end to end.
    const double target = down ? 1.0 : 0.0;
    if (envelope_ != target) {
        const double position = std::acos(1.0 - 2.0 * envelope_) / std::numbers::pi;  // 0..1 along the edge
        const double moved = std::clamp(position + (down ? 1.0 : -1.0) / edgeSamples_, 0.0, 1.0);
        envelope_ = 0.5 * (1.0 - std::cos(std::numbers::pi * moved));
    }
    sampleInElement_ += 1.0;
    if (sampleInElement_ >= elements_[element_].second * samplesPerDot_) {
        sampleInElement_ -= elements_[element_].second * samplesPerDot_;
        element_ = (element_ + 1) % elements_.size();
    }
    return envelope_;
}

CarrierGain::CarrierGain(CarrierKeying keying, std::string_view identifier, double wordsPerMinute, double sampleRate)
    : keying_(keying), toneStep_(TwoPi * KeyedToneHz / sampleRate) {
    if (keying != CarrierKeying::Steady) keyer_.emplace(identifier, wordsPerMinute, sampleRate);
}

double CarrierGain::next() {
    switch (keying_) {
        case CarrierKeying::Steady:
            return 1.0;
        case CarrierKeying::Morse:
            return keyer_->next();
        case CarrierKeying::Tone:
            break;
    }
    // Amplitude modulation by the keyed tone: lines at the carrier +-1020 Hz while it sounds.
    const double gain = 1.0 + KeyedToneDepth * keyer_->next() * std::cos(tonePhase_);
    tonePhase_ = std::remainder(tonePhase_ + toneStep_, TwoPi);
    return gain;
}

std::optional<InterferingCarrier> parseCarrierKeying(std::string_view text) {
    InterferingCarrier carrier;
    const std::size_t space = text.find(' ');
    const std::string_view kind = text.substr(0, space);
    if (kind == "steady" && space == std::string_view::npos) return carrier;
    if (kind == "morse") {
        carrier.keying = CarrierKeying::Morse;
    } else if (kind == "tone") {
        carrier.keying = CarrierKeying::Tone;
    } else {
        return std::nullopt;
    }
    if (space != std::string_view::npos) carrier.identifier = std::string(text.substr(space + 1));
    return carrier;
}

}  // namespace sondeco
