#include "windowed/tray_state.h"

namespace qv {

bool TrayState::update(int open) {
    if (open == shown_) return false;
    if (open <= 0) {
        tip_ = "Quorvane Pro - Listening...";
        picture_ = TrayPicture::kIdle;
    } else {
        tip_ = "Quorvane Pro - Serving " + std::to_string(open);
        if (shown_ == 0) picture_ = TrayPicture::kServing;
    }
    shown_ = open;
    return true;
}

}  // namespace qv
