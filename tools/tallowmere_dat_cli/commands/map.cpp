// `map ARCHIVE -o FILE.svg`: a picture of the archive file, coloured by what owns each region.
//
// The picture's geometry is fixed so that tools (and the tests) can find any cell: a band of
// three text lines, kGridTop pixels high; then the grid, kColumns cells wide, each kCell × kCell
// pixels, cell k at x = kMargin + (k % kColumns) × kCell, y = kGridTop + (k / kColumns) × kCell;
// then the legend; to the right of the grid, the offset axis. Cell k stands for bytes
// [k × C, (k + 1) × C) of the file, where C is the block size, or more for a file of more than
// kMaxCells blocks (the least C that fits the file in kMaxCells cells), and shows the owner that
// covers most of those bytes, except that any directory node bytes in it make it a node's cell,
// so that nodes show however large the cells. Each cell has a title naming its offsets and
// owners; a cell where check found damage is outlined.

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "output.h"
#include "output_file.h"
#include "svg.h"
#include "tallowmere_dat/check.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "map";

constexpr std::uint64_t kColumns = 64;
constexpr std::uint64_t kMaxCells = kColumns * kColumns;
constexpr std::uint64_t kCell = 8;
constexpr std::uint64_t kMargin = 8;
constexpr std::uint64_t kGridTop = 64;
constexpr std::uint64_t kLineHeight = 18;
constexpr std::uint64_t kSwatch = 12;
constexpr std::uint64_t kAxisWidth = 80;
constexpr std::uint64_t kAxisEvery = 8;  // rows between offset labels
constexpr std::size_t kTitleOwners = 4;  // owners named in a cell's title, largest first

constexpr const char* kHeaderColour = "#333333";
constexpr const char* kNodeColour = "#1F3A93";
constexpr const char* kUnclaimedColour = "#E8E8E8";
constexpr const char* kClaimedTwiceColour = "#FF0000";
constexpr const char* kDamageColour = "#000000";

// A qualitative palette of clearly different hues (after Kelly's colours of maximum contrast),
// without the reds of bytes claimed twice, the dark blue of nodes and the greys.
constexpr std::array<const char*, 16> kTypePalette = {
    "#F3C300", "#875692", "#F38400", "#A1CAF1", "#C2B280", "#008856", "#E68FAC", "#0067A5",
    "#F99379", "#604E97", "#DCD300", "#882D17", "#8DB600", "#654522", "#2B3D26", "#B3446C"};

struct MapOptions {
  std::string archive;
  std::string output;
  bool layout_only = false;
};

/// Who a cell's bytes are tallied for: one owner, or all unclaimed bytes, or all bytes claimed
/// more than once.
struct CellOwner {
  enum class Kind : std::uint8_t { Header, Node, File, Unclaimed, ClaimedTwice };
  Kind kind = Kind::Unclaimed;
  std::uint32_t ref = 0;  ///< The node's offset or the file's identifier.

  friend auto operator<=>(const CellOwner&, const CellOwner&) = default;
};

CellOwner cell_owner(const Segment& segment) {
  using Kind = CellOwner::Kind;
  if (segment.claims == 0) return {Kind::Unclaimed};
  if (segment.claims > 1) return {Kind::ClaimedTwice};
  switch (segment.owner.kind) {
    case Owner::Kind::Header:
      return {Kind::Header};
    case Owner::Kind::Node:
      return {Kind::Node, segment.owner.ref};
    case Owner::Kind::File:
      return {Kind::File, segment.owner.ref};
  }
  return {};
}

std::uint8_t type_byte(std::uint32_t id) {
  return static_cast<std::uint8_t>(id >> 24);
}

struct Grid {
  std::uint64_t cell_bytes = 1;
  std::uint64_t cells = 0;
};

Grid grid_for(const ArchiveLayout& layout) {
  const std::uint64_t fitted = (layout.file_length + kMaxCells - 1) / kMaxCells;
  const std::uint64_t cell_bytes =
      std::max({static_cast<std::uint64_t>(layout.block_size), fitted, std::uint64_t{1}});
  return {cell_bytes, (layout.file_length + cell_bytes - 1) / cell_bytes};
}

/// What a cell holds: the owner shown, and every owner's bytes in it, most first.
struct Cell {
  CellOwner shown;
  std::vector<std::pair<CellOwner, std::uint64_t>> owners;
};

/// Each cell's owners; the one shown is a node wherever the cell holds node bytes, else the one
/// of most bytes (on a tie, the lesser one).
std::vector<Cell> cells_of(const ArchiveLayout& layout, const Grid& grid) {
  std::vector<Cell> cells;
  cells.reserve(grid.cells);
  std::map<CellOwner, std::uint64_t> tally;
  const auto close_cell = [&] {
    Cell cell;
    cell.owners.assign(tally.begin(), tally.end());
    std::ranges::stable_sort(cell.owners,
                             [](const auto& a, const auto& b) { return a.second > b.second; });
    if (!cell.owners.empty()) cell.shown = cell.owners.front().first;
    const auto node = std::ranges::find(cell.owners, CellOwner::Kind::Node,
                                        [](const auto& o) { return o.first.kind; });
    if (node != cell.owners.end()) cell.shown = node->first;
    cells.push_back(std::move(cell));
    tally.clear();
  };
  // The segments cover the file in order without gaps, so every cell closes exactly once.
  for (const Segment& segment : layout.segments) {
    const CellOwner owner = cell_owner(segment);
    for (std::uint64_t at = segment.begin; at < segment.end;) {
      const std::uint64_t cell_end =
          std::min((cells.size() + 1) * grid.cell_bytes, layout.file_length);
      const std::uint64_t to = std::min(segment.end, cell_end);
      tally[owner] += to - at;
      at = to;
      if (at == cell_end) close_cell();
    }
  }
  return cells;
}

/// The colours of the file types seen, in ascending order of type byte, from the palette; past
/// its end the colours come round again.
std::map<std::uint8_t, std::string> type_colours(const ArchiveLayout& layout) {
  std::map<std::uint8_t, std::string> colours;
  for (const Segment& segment : layout.segments) {
    if (segment.claims > 0 && segment.owner.kind == Owner::Kind::File)
      colours[type_byte(segment.owner.ref)];
  }
  std::size_t i = 0;
  for (auto& [type, colour] : colours)
    colour = kTypePalette[i++ % kTypePalette.size()];
  return colours;
}

struct LegendItem {
  std::string colour;
  std::string label;
};

struct Palette {
  std::map<std::uint8_t, std::string> types;

  std::string colour(const CellOwner& owner) const {
    switch (owner.kind) {
      case CellOwner::Kind::Header:
        return kHeaderColour;
      case CellOwner::Kind::Node:
        return kNodeColour;
      case CellOwner::Kind::File:
        return types.at(type_byte(owner.ref));
      case CellOwner::Kind::Unclaimed:
        return kUnclaimedColour;
      case CellOwner::Kind::ClaimedTwice:
        return kClaimedTwiceColour;
    }
    return {};
  }

  std::vector<LegendItem> legend() const {
    std::vector<LegendItem> items = {{kHeaderColour, "header"}, {kNodeColour, "directory nodes"}};
    for (const auto& [type, colour] : types)
      items.push_back({colour, "files of type " + hex(type, 2)});
    items.push_back({kUnclaimedColour, "unclaimed"});
    items.push_back({kClaimedTwiceColour, "claimed more than once"});
    return items;
  }
};

std::string rect(std::uint64_t x, std::uint64_t y, std::uint64_t width, std::uint64_t height,
                 const std::string& colour) {
  return format("<rect x=\"%llu\" y=\"%llu\" width=\"%llu\" height=\"%llu\" fill=\"%s\"/>\n",
                static_cast<unsigned long long>(x), static_cast<unsigned long long>(y),
                static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
                colour.c_str());
}

std::string text(std::uint64_t x, std::uint64_t y, std::string_view content) {
  return format("<text x=\"%llu\" y=\"%llu\">", static_cast<unsigned long long>(x),
                static_cast<unsigned long long>(y)) +
         xml_escaped(content) + "</text>\n";
}

/// The three lines of the band above the grid.
std::vector<std::string> summary(const std::string& archive, const ArchiveLayout& layout,
                                 const Grid& grid) {
  const auto u = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
  std::string fragmentation = "no file has a block";
  if (layout.chains > 0) {
    fragmentation = format(
        "%.1f%% of chains (%llu of %llu) in one run; %.2f runs per file",
        100.0 * static_cast<double>(layout.contiguous_chains) / static_cast<double>(layout.chains),
        u(layout.contiguous_chains), u(layout.chains),
        static_cast<double>(layout.runs) / static_cast<double>(layout.chains));
  }
  // The file's name only: the picture stays the same wherever the archive is.
  return {
      std::filesystem::path(archive).filename().string(),
      format("%llu bytes, block size %u, %llu entries; a cell is %llu bytes", u(layout.file_length),
             layout.block_size, u(layout.entry_count), u(grid.cell_bytes)),
      "fragmentation: " + fragmentation};
}

/// An owner as a cell's title names it.
std::string owner_text(const CellOwner& owner) {
  switch (owner.kind) {
    case CellOwner::Kind::Header:
      return "header";
    case CellOwner::Kind::Node:
      return "directory node " + hex(owner.ref);
    case CellOwner::Kind::File:
      return "file " + hex(owner.ref);
    case CellOwner::Kind::Unclaimed:
      return "unclaimed";
    case CellOwner::Kind::ClaimedTwice:
      return "claimed more than once";
  }
  return {};
}

/// Per cell, the kinds of the damage `findings` place in it ("" for none): each error's main
/// offset, one past the end of the file counting as the last cell.
std::vector<std::string> damage_of(std::span<const Finding> findings, const Grid& grid) {
  std::vector<std::string> damage(grid.cells);
  if (grid.cells == 0) return damage;
  for (const Finding& finding : findings) {
    if (finding.severity != Severity::Error || finding.offsets.empty() ||
        finding.kind == FindingKind::ClaimedTwice) {
      continue;  // bytes claimed twice have a colour of their own
    }
    const std::uint64_t cell = std::min(finding.offsets.front() / grid.cell_bytes, grid.cells - 1);
    std::string& kinds = damage[cell];
    const std::string name(finding_name(finding.kind));
    if (kinds.find(name) == std::string::npos) kinds += (kinds.empty() ? "" : ", ") + name;
  }
  return damage;
}

/// A cell's tooltip: its byte range and its owners with their bytes, largest first.
std::string cell_title(std::size_t k, const Cell& cell, const Grid& grid, std::uint64_t file_length,
                       const std::string& damage) {
  const std::uint64_t begin = k * grid.cell_bytes;
  const std::uint64_t end = std::min(begin + grid.cell_bytes, file_length);
  std::string title = format("0x%08llX-0x%08llX:", static_cast<unsigned long long>(begin),
                             static_cast<unsigned long long>(end - 1));
  for (std::size_t i = 0; i < cell.owners.size() && i < kTitleOwners; ++i) {
    const auto& [owner, bytes] = cell.owners[i];
    title += format("%s %s (%llu %s)", i == 0 ? "" : ",", owner_text(owner).c_str(),
                    static_cast<unsigned long long>(bytes), bytes == 1 ? "byte" : "bytes");
  }
  if (cell.owners.size() > kTitleOwners)
    title += format(" and %zu more", cell.owners.size() - kTitleOwners);
  if (!damage.empty()) title += "; damage: " + damage;
  return title;
}

/// The grid: a rect per cell with its title, damaged cells outlined.
std::string grid_cells(std::span<const Cell> cells, std::span<const std::string> damage,
                       const Grid& grid, std::uint64_t file_length, const Palette& palette) {
  std::string svg;
  for (std::size_t k = 0; k < cells.size(); ++k) {
    const unsigned long long x = kMargin + (k % kColumns) * kCell;
    const unsigned long long y = kGridTop + (k / kColumns) * kCell;
    const std::string title = xml_escaped(cell_title(k, cells[k], grid, file_length, damage[k]));
    svg += format(
        "<rect x=\"%llu\" y=\"%llu\" width=\"%llu\" height=\"%llu\" fill=\"%s\">"
        "<title>%s</title></rect>\n",
        x, y, static_cast<unsigned long long>(kCell), static_cast<unsigned long long>(kCell),
        palette.colour(cells[k].shown).c_str(), title.c_str());
    if (!damage[k].empty()) {
      // Inside the cell's edge, so that its middle still shows the owner's colour.
      svg += format(
          "<rect x=\"%llu.75\" y=\"%llu.75\" width=\"6.5\" height=\"6.5\" "
          "fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"/>\n",
          x, y, kDamageColour);
    }
  }
  return svg;
}

/// The offset axis right of the grid: the offset of every kAxisEvery-th row's first cell.
std::string offset_axis(const Grid& grid, std::uint64_t rows) {
  std::string svg = "<g font-size=\"10\" fill=\"#555555\">\n";
  for (std::uint64_t row = 0; row < rows; row += kAxisEvery) {
    const unsigned long long first_offset = row * kColumns * grid.cell_bytes;
    svg += text(kMargin + kColumns * kCell + 6, kGridTop + row * kCell + kCell,
                format("0x%08llX", first_offset));
  }
  return svg + "</g>\n";
}

std::string map_svg(const std::string& archive, const CheckReport& report) {
  const ArchiveLayout& layout = report.layout;
  const Grid grid = grid_for(layout);
  const Palette palette{type_colours(layout)};
  const std::vector<LegendItem> legend = palette.legend();
  const std::uint64_t rows = (grid.cells + kColumns - 1) / kColumns;
  const std::uint64_t legend_top = kGridTop + rows * kCell + kMargin;
  const std::uint64_t width = 2 * kMargin + kColumns * kCell + kAxisWidth;
  const std::uint64_t height = legend_top + (legend.size() + 1) * kLineHeight + kMargin;

  std::string svg = format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%llu\" height=\"%llu\" "
      "viewBox=\"0 0 %llu %llu\" font-family=\"sans-serif\" font-size=\"12\">\n",
      static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
      static_cast<unsigned long long>(width), static_cast<unsigned long long>(height));
  svg += "<title>" + xml_escaped(std::filesystem::path(archive).filename().string()) +
         ": a map of the archive file</title>\n";
  svg += rect(0, 0, width, height, "#FFFFFF");
  std::uint64_t baseline = kLineHeight;
  for (const std::string& line : summary(archive, layout, grid)) {
    svg += text(kMargin, baseline, line);
    baseline += kLineHeight;
  }
  // Crisp edges: cells that touch show no seams of the background between them.
  const std::vector<Cell> cells = cells_of(layout, grid);
  svg += "<g shape-rendering=\"crispEdges\">\n" +
         grid_cells(cells, damage_of(report.findings, grid), grid, layout.file_length, palette) +
         "</g>\n";
  svg += offset_axis(grid, rows);
  for (std::size_t i = 0; i < legend.size(); ++i) {
    const std::uint64_t top = legend_top + i * kLineHeight;
    svg += rect(kMargin, top, kSwatch, kSwatch, legend[i].colour);
    svg += text(kMargin + kSwatch + 6, top + kSwatch - 2, legend[i].label);
  }
  const std::uint64_t top = legend_top + legend.size() * kLineHeight;
  svg += format(
      "<rect x=\"%llu.75\" y=\"%llu.75\" width=\"10.5\" height=\"10.5\" fill=\"none\" "
      "stroke=\"%s\" stroke-width=\"1.5\"/>\n",
      static_cast<unsigned long long>(kMargin), static_cast<unsigned long long>(top),
      kDamageColour);
  svg += text(kMargin + kSwatch + 6, top + kSwatch - 2,
              "damage found by check (see the cell's title)");
  return svg + "</svg>\n";
}

int run_map(const MapOptions& options) {
  const auto checked = check_archive(
      options.archive, options.layout_only ? CheckDepth::LayoutOnly : CheckDepth::Full);
  if (!checked) {
    report_archive_error(kName, options.archive, checked.error());
    return kExitTrouble;
  }
  const std::string svg = map_svg(options.archive, *checked);
  const std::vector<std::uint8_t> bytes(svg.begin(), svg.end());
  if (auto written = write_output(options.output, bytes, identity_of(options.archive)); !written) {
    report({kName, written.error().message()});
    return kExitTrouble;
  }
  return kExitOk;
}

}  // namespace

void add_map(CLI::App& app, Runner& run) {
  auto options = std::make_shared<MapOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Draw the archive file as an SVG picture: a grid of cells, each coloured by the structure "
      "that owns most of its bytes (a node wherever it has any), with titles, an offset axis, a "
      "legend, the damage check finds and the files' fragmentation");
  add_archive_argument(*command, options->archive);
  command
      ->add_option("-o,--output", options->output,
                   "The SVG file to write, or - for standard output; written as the shell's > "
                   "writes (through links, into FIFOs and devices), never over the archive")
      ->required()
      ->type_name("FILE.svg");
  command->add_flag("--layout-only", options->layout_only,
                    "Only the directory and the chains: no decompression or decoding, so no "
                    "marks for damaged contents; faster on a large archive");
  command->callback([options, &run] { run = [options] { return run_map(*options); }; });
}

}  // namespace tallowmere_dat::cli
