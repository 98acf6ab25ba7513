#include "velmor/engine/lookup_cycle.h"

#include <string>
#include <system_error>

#include "velmor/common/text_file.h"
#include "velmor/engine/exchange_file.h"
#include "velmor/platform/diag.h"

namespace velmor::engine {

LookupCycle::LookupCycle(std::filesystem::path program_folder, rules::RuleStore& store,
                         rules::ListModel& address_list, MonitoringCycle& monitor,
                         platform::ProgramLauncher& launcher)
    : program_folder_(std::move(program_folder)),
      store_(store),
      address_list_(address_list),
      monitor_(monitor),
      launcher_(launcher) {}

std::filesystem::path LookupCycle::ExchangeFile() const {
    return program_folder_ / kExchangeFileName;
}

void LookupCycle::RemoveStaleExchangeParts(std::chrono::seconds older_than) const {
    std::string prefix(kExchangeFileName);
    prefix.append(".part-");
    const auto cutoff = std::filesystem::file_time_type::clock::now() - older_than;
    std::error_code error;
    std::filesystem::directory_iterator it(program_folder_, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (!it->path().filename().string().starts_with(prefix)) continue;
        std::error_code file_error;
        if (!std::filesystem::is_regular_file(it->symlink_status(file_error))) continue;
        const auto written = std::filesystem::last_write_time(it->path(), file_error);
        if (!file_error && written < cutoff) std::filesystem::remove(it->path(), file_error);
    }
}

std::filesystem::path LookupCycle::LookupProgram() const {
    return program_folder_ / kLookupProgramFile;
}

void LookupCycle::TimerGetWWW_Timer() {
    ++stats_.ticks;
    // Undoes the slow table interval that pointing at the toolbar sets.
    monitor_.SetTimerIntervalMs(1);
    // While the Internet is blocked nothing is collected or started; the answer waits in its file.
    if (monitor_.IsChecked(kBlockInternetBox)) return;
    CollectAnswer();
    StartNextLookup();
}

void LookupCycle::CollectAnswer() {
    const std::filesystem::path exchange = ExchangeFile();
    if (!IsRegularFile(exchange)) return;
    const std::optional<std::string> line = ReadFirstLine(exchange);
    // The file goes whether or not it held a usable line, so a broken one cannot stay for good.
    std::error_code error;
    std::filesystem::remove(exchange, error);
    if (error) platform::Diag("lookup", "cannot delete the exchange file: " + error.message());
    if (!line) return;

    auto answer = ParseExchangeLine(*line);
    if (!answer) return;
    // The helper's own name rule, applied again: the file may come from someone else.
    if (answer->info != kNoName && !IsPlausibleHostName(answer->info)) answer->info = std::string(kNoName);
    ++stats_.answers;
    if (answer->address.empty()) return;

    // Matched by address text, never by row number, and only to rows still waiting. The scan goes
    // on after a match, so every waiting row of that address gets the answer.
    for (int row = 0; row < address_list_.RowCount(); ++row) {
        if (address_list_.Cell(row, watch_ip::kAddress) != answer->address ||
            !address_list_.Cell(row, watch_ip::kInfo).empty()) {
            continue;
        }
        address_list_.SetCell(row, watch_ip::kInfo, answer->info);
        const rules::Verdict verdict = rules::VerdictOf(address_list_.Cell(row, watch_ip::kVerdict));
        // A rule line takes its host information once: only while its info field is still empty.
        const std::optional<std::string> rule = store_.ReadLine(answer->address, verdict);
        if (rule && !rule->empty() && rule->back() == '|') {
            if (!store_.Write(answer->address, verdict, *rule + answer->info))
                platform::Diag("rules", "host information not added for " + answer->address);
        }
    }
}

void LookupCycle::StartNextLookup() {
    // Strictly in list order: a row whose answer never comes keeps the rows after it waiting.
    for (int row = 0; row < address_list_.RowCount(); ++row) {
        if (!address_list_.Cell(row, watch_ip::kInfo).empty()) continue;
        ++stats_.starts;
        if (!launcher_.Start(LookupProgram(), {address_list_.Cell(row, watch_ip::kAddress)}))
            platform::Diag("lookup", "cannot start the host lookup helper");
        return;
    }
}

}  // namespace velmor::engine
