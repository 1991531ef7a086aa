#include "LineActions.h"

#include "Phone.h"

#include <iostream>
#include <memory>

namespace kbrphone {

void InvokeLaterAction::invoke() {
    std::unique_ptr<InvokeLaterAction> self(this);
    try {
        run();
    } catch (const std::exception& e) {
        std::cerr << "Ignore exception in invoke later:" << e.what() << std::endl;
    } catch (...) {
        std::cerr << "Ignore exception in invoke later" << std::endl;
    }
}

LineActionBase::LineActionBase(Phone* phone_, const std::string& lineId_) : phone(phone_), lineId(lineId_) {}

void LineActionBase::run() {
    if (Line* line = phone->findLine(lineId))
        perform(line);
}

LineAction::LineAction(Phone* phone, const std::string& lineId, Operation operation_)
    : LineActionBase(phone, lineId), operation(operation_) {}

void LineAction::perform(Line* line) {
    (line->*operation)();
}

LineAction1::LineAction1(Phone* phone, const std::string& lineId, Operation operation_,
                         const std::string& argument_)
    : LineActionBase(phone, lineId), operation(operation_), argument(argument_) {}

void LineAction1::perform(Line* line) {
    (line->*operation)(argument);
}

LineAction2::LineAction2(Phone* phone, const std::string& lineId, Operation operation_,
                         const std::string& argument1_, const std::string& argument2_)
    : LineActionBase(phone, lineId), operation(operation_), argument1(argument1_), argument2(argument2_) {}

void LineAction2::perform(Line* line) {
    (line->*operation)(argument1, argument2);
}

TransferLineAction::TransferLineAction(Phone* phone, const std::string& lineId,
                                       const std::string& otherLineId_)
    : LineActionBase(phone, lineId), otherLineId(otherLineId_) {}

void TransferLineAction::perform(Line* line) {
    if (Line* other = phone->findLine(otherLineId))
        line->transfer(other);
}

void PhoneButtonAction::run() {
    phone->buttonPressed(code);
}

void PhoneRequestDialingAction::run() {
    phone->requestDialing(number);
}

void PhoneMuteAction::run() {
    phone->muteStateChanged(muted);
    if (PhoneDeviceInterface* device = phone->getPhoneDevice())
        device->setMute(muted);
}

void post(Phone* phone, InvokeLaterAction* action) {
    // Freed here when the posting itself fails.
    std::unique_ptr<InvokeLaterAction> owned(action);
    phone->addTimer(0, action);
    owned.release();
}

} // namespace kbrphone
