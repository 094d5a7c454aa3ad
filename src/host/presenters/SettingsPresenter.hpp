#pragma once

#include "host/model/HostModel.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velorinth {

// The Settings window: the two switches and the listener port field.
class SettingsPresenter {
public:
    static constexpr std::string_view kRemoteAccessTitle = "Allow remote access";
    static constexpr std::string_view kUnattendedTitle = "Allow unattended sessions";
    static constexpr std::string_view kPortPlaceholder = "Mutual TLS 1.3 Port";
    static constexpr std::string_view kApplyTitle = "Apply Port";
    static constexpr int kWidth = 500;
    static constexpr int kPortFieldWidth = 220;
    static std::string defaultTitle();
    static std::string explanation();

    // The field's text when the window is shown.
    static std::string portText(const HostModel& model);
    // A decimal UInt16 as the language parses one: an optional "+" or "-",
    // then digits only, at most 65535; "-0" is 0, any other negative fails.
    static std::optional<std::uint16_t> parsePort(std::string_view text);
    // "Apply Port": the field's text afterwards (as typed when the port was
    // applied, else the current port).
    static std::string applyPort(HostModel& model, const std::string& portInput);
    // "Default (51891)": the field's text afterwards.
    static std::string applyDefaultPort(HostModel& model);
    static void setRemoteAccess(HostModel& model, bool enabled);
    static void setUnattendedAccess(HostModel& model, bool enabled);
};

} // namespace velorinth
