#pragma once

#include "host/model/HostModel.hpp"

#include <asio/awaitable.hpp>

namespace velorinth {

// Starts `operation` as an unstructured task of the model's on the UI
// thread. The model's own operations never throw; a call on its server port
// can, and its failure then lands in the error line like any other.
void startModelTask(HostModel& model, asio::awaitable<void> operation);

} // namespace velorinth
