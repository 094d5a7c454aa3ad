#pragma once

// The states the host listener and the tablet-side browser report. Built only
// through the case functions, so a payload exists exactly where its case has one.

#include <cstdint>
#include <string>
#include <utility>

namespace velorinth {

class ListenerStatus {
public:
    enum class Case { advertising, failed, idle, starting, permissionDenied, stopped };

    static ListenerStatus advertising(std::uint16_t port) { return {Case::advertising, port, {}}; }
    // `text` is shown to the user.
    static ListenerStatus failed(std::string text) { return {Case::failed, 0, std::move(text)}; }
    // Only a holder's state before its first start; no listener reports it.
    static ListenerStatus idle() { return {Case::idle, 0, {}}; }
    static ListenerStatus starting() { return {Case::starting, 0, {}}; }
    static ListenerStatus permissionDenied() { return {Case::permissionDenied, 0, {}}; }
    static ListenerStatus stopped() { return {Case::stopped, 0, {}}; }

    Case kind() const noexcept { return kind_; }
    std::uint16_t port() const noexcept { return port_; }    // advertising only, else 0
    const std::string& text() const noexcept { return text_; } // failed only, else empty

    bool operator==(const ListenerStatus&) const = default;

private:
    ListenerStatus(Case kind, std::uint16_t port, std::string text)
        : kind_(kind), port_(port), text_(std::move(text)) {}

    Case kind_;
    std::uint16_t port_;
    std::string text_;
};

class DiscoveryStatus {
public:
    enum class Case { failed, idle, searching, ready, permissionDenied };

    static DiscoveryStatus failed(std::string text) { return {Case::failed, std::move(text)}; }
    static DiscoveryStatus idle() { return {Case::idle, {}}; }
    static DiscoveryStatus searching() { return {Case::searching, {}}; }
    static DiscoveryStatus ready() { return {Case::ready, {}}; }
    static DiscoveryStatus permissionDenied() { return {Case::permissionDenied, {}}; }

    Case kind() const noexcept { return kind_; }
    const std::string& text() const noexcept { return text_; } // failed only, else empty

    bool operator==(const DiscoveryStatus&) const = default;

private:
    DiscoveryStatus(Case kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Case kind_;
    std::string text_;
};

} // namespace velorinth
