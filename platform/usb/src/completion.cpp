#include "port.h"

namespace usbsim {

void Completion::complete(USBD_STATUS status) const {
    if (!ticket_ || ticket_->used.exchange(true)) return;
    if (auto port = ticket_->port.lock()) port->SendFinished(ticket_->id, status);
}

void Completion::completeAfter(LONGLONG delay, USBD_STATUS status) const {
    if (!ticket_ || ticket_->used.exchange(true)) return;
    if (auto port = ticket_->port.lock()) port->SendFinishedAfter(ticket_->id, delay, status);
}

}  // namespace usbsim
