// The die-off rates that follow the weather: the rates table placed on the
// nodes once, the environment's values taken at the start of every outer
// step, and the rates of each node from them and the node depth after the
// flow step (model/Model.hpp WeatherFields).
#pragma once

#include "model/Model.hpp"

namespace quarno {

// Maps the rates table of m.forcing onto the nodes (the deck's step rule: row
// r from x(r) to x(r+1), the last row to X = L; a column left out takes its
// default) and sizes the weather fields; nothing without an environment
// series. Needs the grid.
void locate_weather(Model& m);

// The environment's temperature and irradiance at the model time, held over
// the coming outer step. Nothing without weather.
void set_weather(Model& m);

// The rates of every node for the step: in the water
// KdwN theta_w^(T-20) + light_alpha Ibar, with Ibar the irradiance averaged
// over the node depth hn under exponential extinction, and in the bed
// KdsN theta_b^(T-20). Call after the node hydraulics of the step. Nothing
// without weather.
void set_weather_rates(Model& m);

// The irradiance averaged over the depth h (m) under extinction ke (1/m):
// I0 (1 - exp(-ke h))/(ke h), I0 itself when ke h is 0.
double depth_mean_irradiance(double I0, double ke, double h);

}  // namespace quarno
