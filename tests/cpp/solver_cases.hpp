#pragma once
// Networks and helpers shared by the solver tests.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <string>
#include <vector>

#include "local_elements.hpp"
#include "model/bus.hpp"
#include "model/line.hpp"
#include "model/load.hpp"
#include "model/network.hpp"
#include "model/voltage_source.hpp"

namespace solver_cases {
using local::join;

// Radial three-phase four-wire feeder a -Z1- b -Z2- c with unbalanced
// constant-power loads at b and c; the source's neutral is the reference.
struct RadialCase {
  static constexpr double pi = 3.14159265358979323846;
  const complex_d u[3] = {std::polar(230.0, 0.0), std::polar(230.0, -2 * pi / 3), std::polar(230.0, 2 * pi / 3)};
  const complex_d start[4] = {u[0], u[1], u[2], 0.0};
  const complex_d sb[3] = {{2000, 500}, {1000, 200}, {3000, 900}};
  const complex_d sc[3] = {{1500, 100}, {2500, 700}, {500, 300}};
  Eigen::MatrixXcd z1 = impedance(0.1), z2 = impedance(0.2);
  VoltageSource src{4, u};
  Bus a{4, start}, b{4, start}, c{4, start};
  SimplifiedLine l1{4, row_major(z1).data()}, l2{4, row_major(z2).data()};
  PowerLoad lb{4, sb}, lc{4, sc};
  PotentialRef ref;
  ElectricalNetwork net{wire()};

  static Eigen::MatrixXcd impedance(double r) {
    Eigen::MatrixXcd z = Eigen::MatrixXcd::Constant(4, 4, complex_d(0.02, 0.1) * r);
    z.diagonal().setConstant(complex_d(r, 0.4 * r));
    return z;
  }
  static std::vector<complex_d> row_major(const Eigen::MatrixXcd& m) {
    std::vector<complex_d> out;
    for (int i = 0; i < m.rows(); ++i)
      for (int j = 0; j < m.cols(); ++j) out.push_back(m(i, j));
    return out;
  }
  std::vector<Element*> wire() {
    for (int p = 0; p < 4; ++p) {
      join(a, p, src, p);
      a.ports[p].connection->merge(l1.side1[p]);
      b.ports[p].connection->merge(l1.side2[p]);
      b.ports[p].connection->merge(l2.side1[p]);
      c.ports[p].connection->merge(l2.side2[p]);
      join(b, p, lb, p);
      join(c, p, lc, p);
    }
    join(a, 3, ref, 0);
    return {&src, &a, &b, &c, &l1, &l2, &lb, &lc, &ref};
  }
  Eigen::VectorXcd v(const Bus& bus) const {
    Eigen::VectorXcd out(4);
    bus.get_potentials(4, out.data());
    return out;
  }
  // The model's equations at the potentials the elements read now.
  void expect_solved(double tol) const {
    const Eigen::VectorXcd va = v(a), vb = v(b), vc = v(c);
    const Eigen::VectorXcd i1 = z1.inverse() * (va - vb), i2 = z2.inverse() * (vb - vc);
    const Eigen::VectorXcd ib = i1 - i2;
    EXPECT_EQ(va(3), 0.0);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(std::abs(va(k) - u[k]), 0.0, tol);
      EXPECT_NEAR(std::abs((vb(k) - vb(3)) * std::conj(ib(k)) - sb[k]), 0.0, tol * 1e3);
      EXPECT_NEAR(std::abs((vc(k) - vc(3)) * std::conj(i2(k)) - sc[k]), 0.0, tol * 1e3);
    }
    EXPECT_NEAR(std::abs(ib.sum()), 0.0, tol);  // the neutral returns the phase currents
    EXPECT_NEAR(std::abs(i2.sum()), 0.0, tol);
  }
};

// Elements made on the heap for one network, kept alive with it.
struct Owned {
  std::vector<std::unique_ptr<Element>> owned;
  std::vector<Element*> list;
  template <class T>
  T* keep(T* e) {
    owned.emplace_back(e);
    list.push_back(e);
    return e;
  }
};

// A hub bus feeding many leaves, each through its own line to a load: every
// leaf's potentials meet in the hub's rows, so the Jacobian needs far more
// than 30 colours and the forward sweeps run in several groups.
struct HubCase : Owned {
  static constexpr double pi = 3.14159265358979323846;
  static constexpr int leaves = 20;
  const complex_d u[3] = {std::polar(230.0, 0.0), std::polar(230.0, -2 * pi / 3), std::polar(230.0, 2 * pi / 3)};
  const complex_d start[4] = {u[0], u[1], u[2], 0.0};
  std::unique_ptr<ElectricalNetwork> net;
  std::vector<SimplifiedLine*> lines;
  std::vector<Bus*> ends;

  explicit HubCase(double r = 0.05) {
    auto* src = keep(new VoltageSource(4, u));
    auto* ref = keep(new PotentialRef());
    auto* hub = keep(new Bus(4, start));
    for (int p = 0; p < 4; ++p) join(*hub, p, *src, p);
    join(*hub, 3, *ref, 0);
    for (int k = 0; k < leaves; ++k) {
      const std::vector<complex_d> z = RadialCase::row_major(RadialCase::impedance(r * (1 + 0.05 * k)));
      auto* line = keep(new SimplifiedLine(4, z.data()));
      auto* end = keep(new Bus(4, start));
      const complex_d s[3] = {{400.0 + 30 * k, 80}, {250, 10.0 * k}, {600, 150}};
      auto* load = keep(new PowerLoad(4, s));
      for (int p = 0; p < 4; ++p) {
        hub->ports[p].connection->merge(line->side1[p]);
        end->ports[p].connection->merge(line->side2[p]);
        join(*end, p, *load, p);
      }
      lines.push_back(line);
      ends.push_back(end);
    }
    net = std::make_unique<ElectricalNetwork>(std::move(list));
  }
  Eigen::VectorXcd potentials() const {
    Eigen::VectorXcd out(4 * leaves);
    for (int k = 0; k < leaves; ++k) ends[k]->get_potentials(4, out.data() + 4 * k);
    return out;
  }
};

// A tree of four-wire lines, each bus feeding three, with a load at every
// bus: a bus's current law reads the potentials of five buses, so the
// Jacobian needs more colours than one forward sweep takes.
struct TreeFeeder : Owned {
  std::unique_ptr<ElectricalNetwork> network;

  explicit TreeFeeder(int buses) {
    const complex_d u[3] = {std::polar(230.0, 0.0), std::polar(230.0, -2.0943951023931953),
                            std::polar(230.0, 2.0943951023931953)};
    const complex_d start[4] = {u[0], u[1], u[2], 0.0};
    complex_d z[16];
    for (int i = 0; i < 16; ++i) z[i] = i % 5 == 0 ? complex_d(0.04, 0.02) : complex_d(0.0, 0.008);
    const complex_d s[3] = {{900, 300}, {600, 100}, {1400, 500}};
    auto* source = keep(new VoltageSource(4, u));
    auto* ref = keep(new PotentialRef());
    std::vector<Bus*> bus;
    for (int b = 0; b < buses; ++b) bus.push_back(keep(new Bus(4, start)));
    for (int p = 0; p < 4; ++p) join(*bus[0], p, *source, p);
    join(*bus[0], 3, *ref, 0);
    for (int b = 1; b < buses; ++b) {
      auto* line = keep(new SimplifiedLine(4, z));
      for (int p = 0; p < 4; ++p) {
        bus[(b - 1) / 3]->ports[p].connection->merge(line->side1[p]);
        bus[b]->ports[p].connection->merge(line->side2[p]);
      }
    }
    for (int b = 0; b < buses; ++b) {
      auto* load = keep(new PowerLoad(4, s));
      for (int p = 0; p < 4; ++p) join(*bus[b], p, *load, p);
    }
    network = std::make_unique<ElectricalNetwork>(std::move(list));
  }
};

// Collects the messages of the default logger, in place of its own sinks,
// while alive.
class LogCapture {
 public:
  struct Sink : spdlog::sinks::base_sink<std::mutex> {
    std::vector<std::pair<spdlog::level::level_enum, std::string>> lines;
    void sink_it_(const spdlog::details::log_msg& msg) override {
      lines.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
  };
  LogCapture() : sink_(std::make_shared<Sink>()), level_(spdlog::default_logger()->level()) {
    saved_.swap(spdlog::default_logger()->sinks());
    spdlog::default_logger()->sinks().push_back(sink_);
    spdlog::default_logger()->set_level(spdlog::level::debug);
  }
  ~LogCapture() {
    spdlog::default_logger()->sinks().swap(saved_);
    spdlog::default_logger()->set_level(level_);
  }
  std::vector<std::string> take() {
    std::vector<std::string> out;
    for (auto& [level, text] : sink_->lines) out.push_back(text);
    sink_->lines.clear();
    return out;
  }
  std::shared_ptr<Sink> sink_;

 private:
  spdlog::level::level_enum level_;
  std::vector<spdlog::sink_ptr> saved_;
};

}  // namespace solver_cases
