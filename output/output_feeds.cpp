// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/output_feeds.h"

namespace sondeco {

bool OutputFeeds::open(const FeedSettings& settings, OutputFormat mainFormat, const std::string& device, std::string& problem) {
    std::vector<std::unique_ptr<NetworkOutput>> servers;
    for (const ListenAddress& address : settings.listen) {
        auto server = std::make_unique<NetworkOutput>(address.format.value_or(mainFormat), device, NetworkOutput::DefaultQueueLimit,
                                                      settings.maxClients);
        if (!server->listen(address.host, address.port, problem)) return false;
        servers.push_back(std::move(server));
    }
    std::unique_ptr<SerialOutput> serial;
    if (!settings.serialDevice.empty()) {
        serial = std::make_unique<SerialOutput>(settings.serialDevice, settings.baud);
        if (!serial->open(problem)) return false;
    }
    servers_ = std::move(servers);
    serial_ = std::move(serial);
    for (std::size_t i = 0; i < servers_.size(); ++i) {
        const ListenAddress& address = settings.listen[i];
        decoderListeners_.push_back(listenerFor(*servers_[i], "--listen " + std::to_string(address.port), address.stationId,
                                                servers_[i]->format() == OutputFormat::Rtcm, settings));
    }
    if (serial_) decoderListeners_.push_back(listenerFor(*serial_, "--serial " + serial_->device(), std::nullopt, true, settings));
    return true;
}

DecoderListener* OutputFeeds::listenerFor(DecoderListener& feed, const std::string& name, std::optional<int> stationId, bool rtcm,
                                          const FeedSettings& settings) {
    StationChoice choice;
    if (stationId) {
        choice.stationId = stationId;
    } else if (rtcm && settings.oneStationPerRtcmFeed) {
        choice = settings.rtcmStation;
    } else {
        return &feed;
    }
    stationFeeds_.emplace_back(name, std::make_unique<OneStationFeed>(feed, choice));
    return stationFeeds_.back().second.get();
}

std::vector<DecoderListener*> OutputFeeds::decoderListeners() const { return decoderListeners_; }

std::string OutputFeeds::stationConflict() const {
    for (const auto& [name, feed] : stationFeeds_)
        if (feed->conflict()) return name + ": " + feed->conflictText();
    return {};
}

std::vector<PageListener*> OutputFeeds::pageListeners() const {
    std::vector<PageListener*> listeners;
    for (const auto& server : servers_)
        if (server->format() == OutputFormat::Pages) listeners.push_back(server.get());
    return listeners;
}

void OutputFeeds::finish(std::chrono::steady_clock::time_point deadline) {
    for (const auto& server : servers_) server->finish(deadline);
    if (serial_) serial_->finish(deadline);
}

std::string OutputFeeds::statisticsText() const {
    std::string text;
    for (const auto& server : servers_) {
        const NetworkOutputStatistics& s = server->statistics();
        std::string where;
        for (const std::string& address : server->addresses()) where += (where.empty() ? "" : " and ") + address;
        text += "listen " + where + " (" + outputFormatName(server->format()) + "): " + std::to_string(s.clientsAccepted) + " clients, " +
                std::to_string(s.clientsCut) + " cut for falling behind";
        if (s.clientsRefused > 0) text += ", " + std::to_string(s.clientsRefused) + " refused (too many at once)";
        text += '\n';
    }
    if (serial_) {
        const SerialOutputStatistics& s = serial_->statistics();
        text += "serial " + serial_->device() + " at " + std::to_string(serial_->baud()) + " baud: " + std::to_string(s.framesWritten) +
                " frames written, " + std::to_string(s.framesDropped) + " dropped (port full), " + std::to_string(s.framesMissed) +
                " missed (port away), reopened " + std::to_string(s.reopenings) + " times";
        if (s.framesCutAtEnd > 0) text += ", " + std::to_string(s.framesCutAtEnd) + " still unsent at the end and cut";
        text += '\n';
    }
    return text;
}

}  // namespace sondeco
