// The update request: loads the request packet and runs the command that
// key 1 names.
//
// Thread-safe.
#ifndef ZELVAR_UPDATES_DISPATCHER_H_
#define ZELVAR_UPDATES_DISPATCHER_H_

namespace zelvar::updates {

// The size of a packet image's header: nothing shorter is a packet.
inline constexpr int kPacketHeaderBytes = 12;

// 0 or -1. `image` (`length` bytes, owned by the caller) is copied, never
// kept or changed. A null image, one shorter than its header or one the
// packet refuses, a command that is missing, not an int or unknown: -1,
// with no statement run. May throw std::bad_alloc.
int DispatchUpdate(int user_id, int data_id, char* image, int length);

}  // namespace zelvar::updates

#endif  // ZELVAR_UPDATES_DISPATCHER_H_
