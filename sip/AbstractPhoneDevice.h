// The base of every headset integration: a table of the phone's lines kept from the line state reports,
// and the headset buttons turned into phone operations (which only post line actions).
#pragma once

#include "PhoneDeviceInterface.h"

#include <mutex>
#include <string>
#include <vector>

namespace kbrphone {
class Phone;
}

struct LineInfo {
    std::string lineId;
    int state;
    bool active;
    bool initiator;
    std::string localName;
    std::string localUri;
    std::string remoteName;
    std::string remoteUri;
};

class AbstractPhoneDevice : public PhoneDeviceInterface {
public:
    // phone may be null: every operation that needs it then does nothing.
    explicit AbstractPhoneDevice(kbrphone::Phone* phone);
    ~AbstractPhoneDevice() override = default;

    // Updates the line table; integrations call it from their own overrides.
    void lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char* localName,
                          const char* localUri, const char* remoteName, const char* remoteUri) override;

    // Index of the record with that id, -1 when none. The caller holds tableLock.
    int findLineIndex(const std::string& lineId);

    // Line operations by table index; nothing without a phone or with a negative index. Call them with
    // tableLock held or with an index just obtained under it.
    void answerLine(int index);
    void hangupLine(int index);
    void rejectLine(int index);
    void activateLine(int index);

    void answerRingingLine();
    void hookButton();
    void swapButton();
    void playBeep();

    bool hasOpenLines();
    bool isLineActive(const std::string& lineId);
    bool isRinging();
    bool ringerEnabled();

    kbrphone::Phone* getPhone() const { return phone; }
    // A copy of the table, taken under its lock (diagnostics, tests).
    std::vector<LineInfo> lines();

protected:
    // Index of the first record whose active flag is set, -1 when none; the caller holds tableLock.
    int firstActiveIndex() const;

    kbrphone::Phone* phone;
    std::recursive_mutex tableLock;
    std::vector<LineInfo> lineTable;

private:
    // Runs a phone operation on the line of a table index (nothing for an index outside the table).
    void onLine(int index, const char* what, const char* open, void (kbrphone::Phone::*operation)(const char*));
};
