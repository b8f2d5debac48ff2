// Exception classes of the remote-call messaging layer. None adds fields: each carries its text.
// `ClassName()` answers the name exactly as spelled here; exception replies carry it.
#pragma once

#include "platform/rtl/Exceptions.h"

namespace qorvin {

// General messaging failures.
QORVIN_DECLARE_EXCEPTION(EROException, Exception);
// Base of exceptions rebuilt from a server reply.
QORVIN_DECLARE_EXCEPTION(EROServerException, EROException);
// A server exception whose class name is not registered.
QORVIN_DECLARE_EXCEPTION(EROUnregisteredServerException, EROServerException);
// A received stream that is not a binary message.
QORVIN_DECLARE_EXCEPTION(EROInvalidStream, EROException);
// Base of lookup failures.
QORVIN_DECLARE_EXCEPTION(EROUnknownItem, EROException);
// A value type that the serializer cannot encode.
QORVIN_DECLARE_EXCEPTION(EROUnknownType, EROUnknownItem);
// Variant conversion failures.
QORVIN_DECLARE_EXCEPTION(EROBinaryConversionException, EROException);
// A channel already dispatching.
QORVIN_DECLARE_EXCEPTION(EROChannelBusy, EROException);
// Registered classes, rebuilt from server replies.
QORVIN_DECLARE_EXCEPTION(EROMessageTooLarge, EROException);
QORVIN_DECLARE_EXCEPTION(EROSessionNotFound, EROException);
QORVIN_DECLARE_EXCEPTION(EROSessionExpired, EROSessionNotFound);
QORVIN_DECLARE_EXCEPTION(SessionNotFoundException, EROSessionNotFound);
QORVIN_DECLARE_EXCEPTION(SessionDoesNotHaveRequiredRolesException, EROException);

}  // namespace qorvin
