// Owning handles for the NATS client's objects, each destroyed by its own function.
#pragma once

#include <nats/nats.h>

#include <memory>

namespace talkhub_server::nats {

template <typename T, void (*Destroy)(T*)>
struct Deleter {
    void operator()(T* object) const { Destroy(object); }
};

using Options = std::unique_ptr<natsOptions, Deleter<natsOptions, natsOptions_Destroy>>;
using Connection = std::unique_ptr<natsConnection, Deleter<natsConnection, natsConnection_Destroy>>;
using JetStream = std::unique_ptr<jsCtx, Deleter<jsCtx, jsCtx_Destroy>>;
using KeyValue = std::unique_ptr<kvStore, Deleter<kvStore, kvStore_Destroy>>;
using Entry = std::unique_ptr<kvEntry, Deleter<kvEntry, kvEntry_Destroy>>;
using Subscription = std::unique_ptr<natsSubscription, Deleter<natsSubscription, natsSubscription_Destroy>>;

}  // namespace talkhub_server::nats
