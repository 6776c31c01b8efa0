// The panel's way to the hardware: one handle to the bus device and one method per request.
// Each panel object that talks to the device owns its own AudioBusDevice.
#pragma once

#include "halvern/protocol/bus_protocol.h"

#include <cstdint>

class AudioBusDevice {
public:
    AudioBusDevice();
    ~AudioBusDevice();
    AudioBusDevice(const AudioBusDevice&) = delete;
    AudioBusDevice& operator=(const AudioBusDevice&) = delete;

    // Tries \\.\HalvernAudioBus0 to 15 in order and keeps the first that opens; reports each
    // attempt on the wide standard output.
    bool open();
    void close();
    bool isOpen() const;

    // Plain requests: true when the request succeeded; out-arguments are written only then.
    bool setSampleRate(uint32_t hz);
    uint32_t sampleRate(); // 0 on failure or when closed
    bool setBufferSize(uint32_t samples);
    bool getBufferSize(uint32_t& samples);
    bool setUsbLatency(uint32_t frames);
    bool getUsbLatency(uint32_t& frames);
    bool getDevicePid(uint32_t& code);
    bool readMeters(halvern::protocol::MeterBlock& block);
    bool writeMixerMatrix(const halvern::protocol::MixerMatrix& m);
    bool setWdmChannels(uint32_t count);
    bool initAudio();
    bool stopAudio();
    bool restartAudio();
    bool enableSlowMode();
    bool disableSlowMode();
    // Refreshes `out` from this object's last status reply, also when the request fails.
    bool readUsbStatus(halvern::protocol::UsbStatus& out);

    // Device commands: true when the device took the command; false when it refused it or
    // when the device is closed and nothing is sent.
    bool setMicVolume(uint8_t channel, uint16_t value);
    bool setOutVolume(uint8_t channel, uint16_t value);
    bool switchMicInstrument(uint8_t channel, uint8_t on);
    bool setMic20dB(uint8_t channel, uint8_t on);
    bool setMic48V(uint8_t channel, uint8_t on);
    bool setOtgOn();
    bool setOtgOff();
    bool upgradeFirmware();

    // Copies the first min(len, 10) bytes of the firmware version to `out`.
    bool getFirmwareVersion(uint8_t* out, uint32_t len);

    // -80 dB and below is silence; above +6 dB is held at the gain of +6 dB.
    static double dbToGain(double dB);
    // dBFS of a meter value (2147483647 is full scale); 0 gives minus infinity.
    static double sampleToDb(int32_t v);

private:
    bool request(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen);
    bool sendCommand(const halvern::protocol::CommandPacket& packet);
    template <typename Build> bool command(const char* failurePrefix, Build build);

    void* handle_;                              // the platform handle; invalid when closed
    halvern::protocol::UsbStatusWire status_{}; // reply buffer of readUsbStatus
};
