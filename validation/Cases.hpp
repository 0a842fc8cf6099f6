// The validation cases, each a list of table rows, and the decks that
// several of them share.
#pragma once

#include <vector>

#include "Decks.hpp"
#include "Harness.hpp"

namespace quarno::test {

// 10 m3/s in a 10 m wide channel of slope 0.001 and roughness 0.03.
constexpr double kWidth = 10.0, kSlope = 0.001, kRough = 0.03, kDischarge = 10.0;

// The channel with a flux inlet and a transmissive outlet, started at depth
// h_start and run for T seconds.
Reach uniform_channel(int Nfdn, double L, double h_start, double T);

// Normal depth and velocity of the channel, with the model's friction law.
double channel_normal_depth();
double channel_velocity();

// The channel at its normal depth with a tracer of concentration 1 entering
// at X = 0 into clean water; dispersivity aL.
Reach tracer_channel(int Nfdn, double T, double aL);

// How far a printed profile of the tracer channel departs from the steady
// decay profile C0 exp(lambda x), lambda = (u - sqrt(u^2 + 4 D K))/(2D),
// D = aL u, over the cells up to L - 10 aL (the outlet layer, aL thick,
// decays as exp(-10)): the largest relative departure of the printed C (the
// mean of the two nodes) and the largest half unit of print relative to the
// exact value.
struct DecayDeparture {
  double worst = 0, print = 0, lambda = 0, dx = 0;
};
DecayDeparture decay_departure(const Profile& p, const Reach& r, double K);

// The outer step in the channel at its normal depth: Courant number 0.4 on
// u + sqrt(g h).
double channel_step(double dx);

// A closed pool 1 m deep with transport on: walls, flat bed, still water.
Reach closed_pool();

// Still water (Pools.cpp)
std::vector<Outcome> still_pool_case();     // 1
std::vector<Outcome> widening_pool_case();  // 8

// Steady flow (SteadyFlow.cpp)
std::vector<Outcome> normal_depth_case();  // 2
std::vector<Outcome> backwater_case();     // 3

// Dam breaks (DamBreaks.cpp)
std::vector<Outcome> stoker_case();  // 4, wet bed
std::vector<Outcome> ritter_case();  // 4, dry bed

// Transport (Tracers.cpp)
std::vector<Outcome> ogata_banks_case();  // 5
std::vector<Outcome> decay_case();        // 6
std::vector<Outcome> storage_case();      // 7

// Balance reports (Balances.cpp)
std::vector<Outcome> water_balance_case();        // 9a
std::vector<Outcome> decay_balance_case();        // 9b
std::vector<Outcome> groundwater_balance_case();  // 9c
std::vector<Outcome> front_balance_case();        // 9d

// Sources along the reach (Sources.cpp)
std::vector<Outcome> mixed_jump_case();          // 10a
std::vector<Outcome> distributed_inflow_case();  // 10b
std::vector<Outcome> abstraction_case();         // 10c
std::vector<Outcome> jump_convergence_case();    // 10d

// Die-off that follows the weather (Weather.cpp)
std::vector<Outcome> temperature_decay_case();  // 11a
std::vector<Outcome> light_decay_case();        // 11b
std::vector<Outcome> diurnal_light_case();      // 11c

}  // namespace quarno::test
