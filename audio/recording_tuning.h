// SPDX-License-Identifier: GPL-3.0-or-later
// Where an SDR recording was tuned, and when it began, as the recording itself says: SDR programs
// write it into the WAV file (an `auxi` chunk: SDR#, HDSDR, SDRuno, SpectraVue) or into the file's
// name (kiwirecorder's `20240115T203000Z_300000_iq.wav`, SDR#'s `..._304000Hz_IQ.wav`, HDSDR's
// `..._300kHz_RF.wav`, SDR++'s and SDRconnect's `..._304000Hz...`). The band monitor takes the centre
// from here when none is given, so that its frequencies are absolute without the user's help.
// kiwirecorder's --kiwi-wav files also stamp their samples with the KiwiSDR's GPS time, which dates
// the start to the second where the name has the recording computer's clock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sondeco {

struct RecordingTuning {
    std::optional<double> centreHz;
    std::optional<std::int64_t> startUtcSeconds;  // since 1970-01-01T00:00:00Z
    std::string source;  // where it was read: "its auxi chunk", "its name"; empty when nowhere
    // The GPS time of week of the first sample, from a KiwiSDR's kiwi chunks. The week is not written,
    // so this dates nothing alone: readRecordingTuning puts it in the week of the start the name gives.
    std::optional<double> gpsWeekSeconds;
    bool startFromGps = false;  // startUtcSeconds is that GPS time (less the leap seconds), not the name's
};

// From the chunks of a RIFF/WAVE file's first bytes (as many as are at hand; chunks past them are not
// looked at). The auxi chunk holds the start as a Windows SYSTEMTIME (taken as UTC, as the programs
// that write it record it) and the centre as a 32-bit count of hertz. A kiwirecorder IQ file gives
// gpsWeekSeconds.
RecordingTuning tuningFromWavBytes(std::span<const unsigned char> bytes);

// From a file's name (any directories before it are ignored): a frequency written with its unit
// (Hz, kHz or MHz, any case) between separators, or kiwirecorder's timestamp and frequency in hertz;
// a start of the form 20240115_203000Z or 20240115T203000Z.
RecordingTuning tuningFromFileName(std::string_view path);

// The file's own chunks first, then its name. Standard input ("-") has neither. A start from the
// name is replaced by the kiwi chunks' GPS time when the two are within an hour of each other: the
// name has the computer's clock when the first block arrived, which may be off; farther apart, one
// of them is wrong and the name is kept.
RecordingTuning readRecordingTuning(const std::string& path);

}  // namespace sondeco
