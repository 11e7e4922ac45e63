// Whether the user has asked the host to stop (Ctrl-C), asked between iterations on the calling
// thread. One implementation per host is linked into each module.
#pragma once

namespace frame {

bool host_interrupt_pending();
// Takes the request as handled, so that the host does not act on it a second time after the
// module has answered it with an error.
void host_interrupt_clear();

}  // namespace frame
