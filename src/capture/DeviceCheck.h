#pragma once
// The start-up check of the sound output device: can the default output device take 48000 Hz
// 16-bit stereo PCM, and can it be opened in it? Nothing is ever played; the opened device is only
// held until the capture thread's clean-up releases it.

namespace stemora {

class IDeviceCheck {
  public:
    virtual ~IDeviceCheck() = default;
    // Window thread. True when the default output device supports the format.
    virtual bool Query() = 0;
    // Window thread, after a successful Query. Opens the device in the format without starting
    // it and holds it; true on success. On failure nothing stays held.
    virtual bool Open() = 0;
    // Any thread. Releases what Open holds; does nothing when nothing is held. Never throws.
    virtual void Close() noexcept = 0;
};

}  // namespace stemora
