// What the notification-area icon shows, as a plain record the frame's
// timer feeds with the open connection count.
#pragma once

#include <string>

namespace qv {

enum class TrayPicture { kIdle, kServing };

class TrayState {
public:
    // The open count of this tick; true when the tip (and maybe the
    // picture) changed and the icon must be modified.
    bool update(int open);

    const std::string& tip() const { return tip_; }
    TrayPicture picture() const { return picture_; }
    // The count shown, from which the next change is told.
    int shown() const { return shown_; }

private:
    int shown_ = 0;
    std::string tip_ = "Quorvane Pro";
    TrayPicture picture_ = TrayPicture::kIdle;
};

}  // namespace qv
