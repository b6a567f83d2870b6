#pragma once

#include <QString>
#include <optional>

// The application that receives the user's input now.
struct FrontApplication {
    std::optional<QString> name;       // display name, when the application has one
    std::optional<QString> identifier; // stable identifier (desktop id), when known
};

// Tells which application is in front. Called on the main thread every 0.7 s, so an
// implementation answers within a few milliseconds and never blocks on a missing display.
class FrontApplicationSource {
public:
    virtual ~FrontApplicationSource() = default;

    // Nothing when no application is in front or the desktop cannot be asked.
    virtual std::optional<FrontApplication> frontApplication() = 0;
};

// For a desktop the agent cannot observe: there is never a front application.
class NoFrontApplicationSource final : public FrontApplicationSource {
public:
    std::optional<FrontApplication> frontApplication() override { return std::nullopt; }
};
