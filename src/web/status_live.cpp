#include "web/status_live.h"

#include <charconv>
#include <cmath>

#include "core/app.h"
#include "core/failure.h"
#include "core/fast_string.h"
#include "receiver/format_html.h"
#include "receiver/rfid_device.h"
#include "web/page_answer.h"
#include "web/status_rows.h"

namespace tagvane {
namespace {

std::string Number(float v) { return std::isfinite(v) ? RoundedText(v, 0) : "null"; }

}  // namespace

const std::string_view kStatusLiveScript = R"(<script>
(function () {
  var rows = {}, list = document.querySelectorAll('tr[data-dc]'), seq = '', waiting = false;
  var failures = 0, note = null;
  if (!window.fetch) return;
  for (var i = 0; i < list.length; i++) rows[list[i].getAttribute('data-dc')] = list[i];
  window.tvPagePolling = true;
  function set(tr, cls, text) {
    var el = tr.querySelector('.' + cls);
    if (el && el.textContent !== text) el.textContent = text;
  }
  function apply(d) {
    var fresh = [];
    (d.rows || []).forEach(function (r) {
      var tr = rows[r.dc];
      if (!tr) { fresh.push(r.tag || r.dc.replace(/^_+/, '')); return; }
      tr.setAttribute('data-state', r.state);
      var p = tr.querySelector('.tvp');
      // r.p is the presence snippet the daemon builds itself from fixed
      // pictures and numbers, the same text the page was drawn with.
      if (p && p.tvHtml !== r.p) {
        p.innerHTML = '<span class="tvsr">' + (r.state === 'ON' ? 'ON' : 'OFF') + ' </span>' + r.p;
        p.tvHtml = r.p;
      }
      set(tr, 'tvchanged', r.changed);
      set(tr, 'tvloc', r.location);
    });
    if (fresh.length) {
      var table = document.querySelector('table.tvtags');
      if (!note && table) {
        note = document.createElement('p');
        note.className = 'tvnote';
        note.id = 'tvNewTags';
        note.setAttribute('role', 'status');
        table.parentNode.insertBefore(note, table);
      }
      if (note) note.textContent = 'New tags heard: ' + fresh.join(', ') + '. Refresh shows them.';
    }
    if (window.tvShowIndicator) window.tvShowIndicator(d);
  }
  function later(ms) { waiting = true; setTimeout(poll, ms); }
  function poll() {
    if (document.hidden) { waiting = false; return; }
    fetch('/status/live?since=' + seq, {cache: 'no-store', credentials: 'same-origin'})
      .then(function (r) { if (!r.ok) throw new Error(r.status); return r.json(); })
      .then(function (d) { failures = 0; seq = d.seq; apply(d); })
      .catch(function () { failures++; })
      .then(function () { later(failures ? Math.min(30000, 1000 << Math.min(failures, 5)) : 1000); });
  }
  document.addEventListener('visibilitychange', function () {
    if (!document.hidden && !waiting) later(0);
  });
  later(1000);
})();
</script>)";

StatusLive::StatusLive(App& app) : app_(app) {}

std::string StatusLive::Json(std::string_view since, std::string_view more_members) {
  uint64_t from = 0;
  const auto parsed = std::from_chars(since.data(), since.data() + since.size(), from);
  const bool known =
      parsed.ec == std::errc() && parsed.ptr == since.data() + since.size() && from <= seq_;
  if (!known) from = 0;
  FastString rows(4096);
  Guard(app_.Log(), "StatusLive", [&] {
    const Settings& settings = app_.GetSettings();
    const DateTime today = std::chrono::floor<std::chrono::days>(app_.GetClock().Now());
    ++pass_;
    std::string row;
    bool first = true;
    for (const auto& [code, device] : app_.Tables().DeviceTable) {
      // The same rows the page draws.
      if (!device || (device->Remove() && settings.HideRemoved) ||
          (!device->InUse() && settings.ShowOnlyUsed)) {
        continue;
      }
      row.clear();
      row.append("{\"dc\":").append(JsonString(code));
      row.append(",\"state\":").append(JsonString(StatusText(device->DeviceStatus())));
      row.append(",\"fom\":").append(Number(device->FigureOfMerit()));
      row.append(",\"strength\":").append(Number(device->AverageStrength()));
      row.append(",\"p\":").append(JsonString(device->DeviceString().substr(0, 255)));
      row.append(",\"changed\":")
          .append(JsonString(ChangeTimeText(device->DeviceLastChange(), today)));
      row.append(",\"tag\":").append(JsonString(device->Tag()));
      row.append(",\"location\":").append(JsonString(device->Location())).append("}");
      Seen& seen = seen_[code];
      const size_t hash = std::hash<std::string>{}(row);
      if (seen.seq == 0 || seen.hash != hash) {
        seen.hash = hash;
        seen.seq = ++seq_;
      }
      seen.pass = pass_;
      if (seen.seq <= from) continue;
      if (!first) rows.Add(",");
      rows.Add(row);
      first = false;
    }
    // Devices gone from the table (or from the page) are forgotten.
    std::erase_if(seen_, [&](const auto& entry) { return entry.second.pass != pass_; });
  });
  FastString out(rows.Value().size() + more_members.size() + 64);
  out.Add("{\"seq\":")
      .Add(std::to_string(seq_))
      .Add(",\"rows\":[")
      .Add(rows.Value())
      .Add("]")
      .Add(more_members)
      .Add("}");
  return out.Take();
}

}  // namespace tagvane
