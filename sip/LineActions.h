// Commands carried onto the phone's event loop. An action is posted with delay 0, runs once on the loop
// thread and deletes itself. Line actions name their line by id, so an action for a line that has ended in
// the meantime does nothing.
#pragma once

#include "kmt/scheduler.h"

#include <string>

namespace kbrphone {

class Line;
class Phone;

class InvokeLaterAction : public kmt::EventCallbackBase {
public:
    // Runs the action, reports anything it throws on std::cerr, and deletes the action.
    void invoke() final;
    virtual void run() = 0;
};

class LineActionBase : public InvokeLaterAction {
public:
    LineActionBase(Phone* phone, const std::string& lineId);
    void run() override;
    virtual void perform(Line* line) = 0;

protected:
    Phone* phone;
    std::string lineId;
};

class LineAction : public LineActionBase {
public:
    using Operation = void (Line::*)();
    LineAction(Phone* phone, const std::string& lineId, Operation operation);
    void perform(Line* line) override;

private:
    Operation operation;
};

class LineAction1 : public LineActionBase {
public:
    using Operation = void (Line::*)(const std::string&);
    LineAction1(Phone* phone, const std::string& lineId, Operation operation, const std::string& argument);
    void perform(Line* line) override;

private:
    Operation operation;
    std::string argument;
};

class LineAction2 : public LineActionBase {
public:
    using Operation = void (Line::*)(const std::string&, const std::string&);
    LineAction2(Phone* phone, const std::string& lineId, Operation operation, const std::string& argument1,
                const std::string& argument2);
    void perform(Line* line) override;

private:
    Operation operation;
    std::string argument1;
    std::string argument2;
};

// Transfers the call of one line to the call of another; nothing unless both lines exist.
class TransferLineAction : public LineActionBase {
public:
    TransferLineAction(Phone* phone, const std::string& lineId, const std::string& otherLineId);
    void perform(Line* line) override;

private:
    std::string otherLineId;
};

class PhoneButtonAction : public InvokeLaterAction {
public:
    PhoneButtonAction(Phone* phone, int code) : phone(phone), code(code) {}
    void run() override;

private:
    Phone* phone;
    int code;
};

class PhoneRequestDialingAction : public InvokeLaterAction {
public:
    PhoneRequestDialingAction(Phone* phone, const std::string& number) : phone(phone), number(number) {}
    void run() override;

private:
    Phone* phone;
    std::string number;
};

class PhoneMuteAction : public InvokeLaterAction {
public:
    PhoneMuteAction(Phone* phone, bool muted) : phone(phone), muted(muted) {}
    void run() override;

private:
    Phone* phone;
    bool muted;
};

// Posts an action on the phone's loop; the scheduler holds it until it has run.
void post(Phone* phone, InvokeLaterAction* action);

} // namespace kbrphone
