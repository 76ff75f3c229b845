// SPDX-License-Identifier: GPL-3.0-or-later
// Types 1, 9 (GPS) and 31, 34 (GLONASS): pseudorange corrections. Layout: CorrectionEntry in
// message_layouts.h (40-bit satellite entries; bits after the last whole entry are fill).
#include "rtcm/message_decoders.h"
#include "rtcm/message_layouts.h"

namespace sondeco {

using namespace CorrectionEntry;

void decodeCorrections(const RtcmFrame& frame, DecodedMessage& message) {
    const auto& bits = frame.dataWords;
    const bool glonass = isGlonassCorrections(frame.messageType);
    const int entries = DataBitsPerWord * frame.frameLength / Bits;
    message.corrections.resize(static_cast<std::size_t>(entries));
    for (int m = 0; m < entries; ++m) {
        const int b = Bits * m;
        PseudorangeCorrection& entry = message.corrections[static_cast<std::size_t>(m)];
        entry.coarseScale = getField(bits, b, Scale) != 0;
        entry.udre = getField(bits, b, Udre);
        const int satellite = getField(bits, b, SatelliteId);
        entry.satelliteId = satellite == 0 ? 32 : satellite;
        // The not-available patterns mean "no value", not -655.36 m.
        if (getSignedField(bits, b, Prc) == PrcNotAvailable) {
            entry.pseudorangeCorrection.reset();
        } else {
            entry.pseudorangeCorrection = getSignedField(bits, b, Prc) * (entry.coarseScale ? CoarsePrcStep : FinePrcStep);
        }
        if (getSignedField(bits, b, Rrc) == RrcNotAvailable) {
            entry.rangeRateCorrection.reset();
        } else {
            entry.rangeRateCorrection = getSignedField(bits, b, Rrc) * (entry.coarseScale ? CoarseRrcStep : FineRrcStep);
        }
        entry.ephemerisChanged = glonass && getField(bits, b, EphemerisChanged) != 0;
        entry.issueOfData = glonass ? getField(bits, b, Tb) : getField(bits, b, IssueOfData);
    }
}

}  // namespace sondeco
