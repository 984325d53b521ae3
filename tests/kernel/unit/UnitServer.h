// The simulated Ka as a node on the software FireWire card: each request the card hands over
// goes to the simulator's register model, and the model's answer goes back as the ack and
// response a unit would give, unless a bus fault takes its place.
#ifndef KA_TESTS_KERNEL_UNITSERVER_H
#define KA_TESTS_KERNEL_UNITSERVER_H

#include "BusFault.h"
#include "SimulatedKa.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kaunit {

// What one request gets: the ack, and with an ack pending maybe a response.
struct CardAnswer {
    int ack = 0;
    bool respond = false;
    unsigned rcode = 0;
    std::vector<std::uint8_t> data;
};

// One request as the card hands it over.
struct CardRequest {
    std::uint32_t handle = 0;
    unsigned transactionCode = 0;
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> data;  // what a write carries
    std::uint32_t length = 0;        // what a read asks for
};

// What the server asks of the card.
class Card {
  public:
    virtual ~Card() = default;
    virtual void Answer(std::uint32_t handle, const CardAnswer& answer) = 0;
    // A bus reset; every request not yet answered is flushed.
    virtual void BusReset(bool unitPresent) = 0;
};

class UnitServer {
  public:
    // returnAfter: how long the unit stays away when the model's unplug fault takes it off
    // the bus; nothing: for good.
    UnitServer(kasim::SimulatedKa& ka, Card& card, std::vector<BusFault> faults,
               std::optional<std::chrono::milliseconds> returnAfter);

    // The unit joins the bus (again).
    void Plug();
    void Serve(const CardRequest& request);
    // When the unit that left comes back, if it is away.
    std::optional<std::chrono::steady_clock::time_point> ReturnTime() const { return returnAt_; }

  private:
    CardAnswer ModelAnswer(const CardRequest& request, bool& unitLeft, bool& busReset);

    kasim::SimulatedKa& ka_;
    Card& card_;
    std::vector<BusFault> faults_;
    std::optional<std::chrono::milliseconds> returnAfter_;
    std::optional<std::chrono::steady_clock::time_point> returnAt_;
    std::unique_ptr<kaplatform::FireWireDevice> registers_;
    std::vector<std::uint32_t> rom_;
};

// The node's configuration ROM: bus information block, root directory (vendor, model, node
// capabilities) and one unit directory with the values the unit is found by.
std::vector<std::uint32_t> ConfigRom(const kasim::SimulatedKaConfig& config);

}  // namespace kaunit

#endif
