// Kept in a file of its own: the desktop's login-item interface and the model's share a name.
#include "host/ui/autostart_control.h"

#include "host/desktop/autostart_entry.h"

namespace quill::host::ui {

struct AutostartControl::Impl {
    AutostartEntry entry;
};

AutostartControl::AutostartControl(std::optional<QString> configHome, std::optional<QString> executable)
    : impl_(std::make_unique<Impl>(Impl{AutostartEntry(std::move(configHome), std::move(executable))})) {}

AutostartControl::~AutostartControl() = default;

bool AutostartControl::isEnabled() const { return impl_->entry.isEnabled(); }

void AutostartControl::setEnabled(bool enabled) {
    if (enabled)
        impl_->entry.registerItem();
    else
        impl_->entry.unregisterItem();
}

QString AutostartControl::directoryPath() const { return impl_->entry.directoryPath(); }

}  // namespace quill::host::ui
