#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quill::host {

class X11Connection;

// The desktop's power calls: a user-activity declaration and an assertion that keeps the
// display from idling into the screensaver or sleep.
class PowerBackend {
public:
    virtual ~PowerBackend() = default;
    virtual void declareUserActivity(const std::string& name, std::uint32_t type) = 0;
    // The new assertion's ID, or none when it could not be made.
    virtual std::optional<std::uint32_t> createAssertion(const std::string& type, std::uint32_t level,
                                                         const std::string& name) = 0;
    virtual void releaseAssertion(std::uint32_t id) = 0;
};

// Keeps the display awake while a session runs. Main thread only.
class DisplayKeepAwake {
public:
    static constexpr const char* userActivityName = "Quillmate remote session";
    static constexpr std::uint32_t userActivityType = 0;
    static constexpr const char* assertionType = "PreventUserIdleDisplaySleep";
    static constexpr std::uint32_t assertionLevel = 255;
    static constexpr const char* assertionName = "Quillmate remote session in progress";

    explicit DisplayKeepAwake(std::shared_ptr<PowerBackend> backend) : backend_(std::move(backend)) {}

    // Declares activity every time; takes the assertion unless it is already held.
    void hold();
    // Lets the assertion go, if held.
    void release();

    std::uint32_t assertionID() const { return assertionID_; }
    bool holding() const { return holding_; }

private:
    std::shared_ptr<PowerBackend> backend_;
    std::uint32_t assertionID_ = 0;
    bool holding_ = false;
};

// MIT-SCREEN-SAVER: activity resets the server's idle timer (and ends a running screensaver);
// the assertion suspends the screensaver and display power saving. The suspension belongs to
// this client's connection, so it ends with the process like any power assertion.
class X11PowerBackend : public PowerBackend {
public:
    explicit X11PowerBackend(std::shared_ptr<X11Connection> connection);
    void declareUserActivity(const std::string& name, std::uint32_t type) override;
    std::optional<std::uint32_t> createAssertion(const std::string& type, std::uint32_t level,
                                                 const std::string& name) override;
    void releaseAssertion(std::uint32_t id) override;

private:
    std::shared_ptr<X11Connection> connection_;
    std::uint32_t lastID_ = 0;
};

}  // namespace quill::host
