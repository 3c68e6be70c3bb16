#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <stdexcept>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "util/logging.hpp"

namespace {

// Whether `text` is "MM/DD/YY HH:MM:SS " followed by `rest`.
bool stamped(const std::string& text, const std::string& rest) {
  const std::string shape = "dd/dd/dd dd:dd:dd ";
  if (text.size() != shape.size() + rest.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
  }
  return text.compare(shape.size(), std::string::npos, rest) == 0;
}

// A registered logger writing into a string, so that the registry-wide
// settings reach it; the library's defaults are restored afterwards.
class LoggingConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
    logger_ = std::make_shared<spdlog::logger>("probe", sink_);
    spdlog::register_logger(logger_);
  }
  void TearDown() override {
    spdlog::drop("probe");
    spdlog::set_level(spdlog::level::info);
    spdlog::set_pattern("%+");
  }
  std::string take() {
    std::string s = out_.str();
    out_.str("");
    return s;
  }

  std::ostringstream out_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
  std::shared_ptr<spdlog::logger> logger_;
};

TEST_F(LoggingConfig, PatternIsDateTimeLevelMessageWithCrLf) {
  set_logging_config("debug");
  logger_->debug("----- Tape evaluation -----");
  logger_->warn("w");
  const std::string out = take();
  const size_t first_end = out.find("\r\n") + 2;
  EXPECT_TRUE(stamped(out.substr(0, first_end), "debug ----- Tape evaluation -----\r\n")) << out;
  EXPECT_TRUE(stamped(out.substr(first_end), "warning w\r\n")) << out;
}

TEST_F(LoggingConfig, NamesSetTheLevelOfEveryLogger) {
  const std::pair<const char*, spdlog::level::level_enum> names[] = {
      {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug}, {"info", spdlog::level::info},
      {"warning", spdlog::level::warn}, {"error", spdlog::level::err},  {"critical", spdlog::level::critical},
      {"off", spdlog::level::off}};
  for (const auto& [name, level] : names) {
    set_logging_config(name);
    EXPECT_EQ(logger_->level(), level) << name;
    EXPECT_EQ(spdlog::default_logger()->level(), level) << name;
  }
  set_logging_config("off");
  logger_->critical("hidden");
  EXPECT_EQ(take(), "");
}

TEST_F(LoggingConfig, UnknownNameKeepsLevelButInstallsPattern) {
  set_logging_config("error");
  logger_->set_pattern("old %v");
  const std::string bad[] = {"Debug", "WARNING", "warn", "err", "", "info ", std::string("info\0", 5)};
  for (const std::string& name : bad) {
    try {
      set_logging_config(name);
      ADD_FAILURE() << name;
    } catch (const MessageError& e) {
      EXPECT_EQ(e.text(), "Unknown severity string " + name + ".");  // embedded zero included
    }
    EXPECT_EQ(logger_->level(), spdlog::level::err);
  }
  logger_->info("dropped");
  logger_->error("kept");
  EXPECT_TRUE(stamped(take(), "error kept\r\n"));
}

}  // namespace
