// `map ARCHIVE -o FILE.svg`: a picture of the archive file, coloured by what owns each region.
//
// The picture's geometry is fixed so that tools (and the tests) can find any cell: a band of
// three text lines, kGridTop pixels high; then the grid, kColumns cells wide, each kCell × kCell
// pixels, cell k at x = kMargin + (k % kColumns) × kCell, y = kGridTop + (k / kColumns) × kCell;
// then the legend. Cell k stands for bytes [k × C, (k + 1) × C) of the file, where C is the
// block size, or more for a file of more than kMaxCells blocks (the least C that fits the file
// in kMaxCells cells), and shows the owner that covers most of those bytes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "archive.h"
#include "output_file.h"
#include "commands.h"
#include "format.h"
#include "output.h"
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

constexpr const char* kHeaderColour = "#333333";
constexpr const char* kNodeColour = "#1F3A93";
constexpr const char* kUnclaimedColour = "#E8E8E8";
constexpr const char* kClaimedTwiceColour = "#FF0000";

struct MapOptions {
  std::string archive;
  std::string output;
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

/// Each cell's majority owner; on a tie, the lesser one.
std::vector<CellOwner> cell_owners(const ArchiveLayout& layout, const Grid& grid) {
  std::vector<CellOwner> owners;
  owners.reserve(grid.cells);
  std::map<CellOwner, std::uint64_t> tally;
  const auto close_cell = [&] {
    const auto most = std::ranges::max_element(
        tally, [](const auto& a, const auto& b) { return a.second < b.second; });
    owners.push_back(most->first);
    tally.clear();
  };
  // The segments cover the file in order without gaps, so every cell closes exactly once.
  for (const Segment& segment : layout.segments) {
    const CellOwner owner = cell_owner(segment);
    for (std::uint64_t at = segment.begin; at < segment.end;) {
      const std::uint64_t cell_end =
          std::min((owners.size() + 1) * grid.cell_bytes, layout.file_length);
      const std::uint64_t to = std::min(segment.end, cell_end);
      tally[owner] += to - at;
      at = to;
      if (at == cell_end) close_cell();
    }
  }
  return owners;
}

/// "#RRGGBB" of a hue in degrees, a saturation and a lightness, each of the last two in [0, 1].
std::string hsl_colour(double hue, double saturation, double lightness) {
  const double chroma = (1 - std::abs(2 * lightness - 1)) * saturation;
  const double second = chroma * (1 - std::abs(std::fmod(hue / 60, 2) - 1));
  const double base = lightness - chroma / 2;
  const double sectors[6][3] = {{chroma, second, 0}, {second, chroma, 0}, {0, chroma, second},
                                {0, second, chroma}, {second, 0, chroma}, {chroma, 0, second}};
  const double* rgb = sectors[static_cast<int>(hue / 60) % 6];
  const auto channel = [&](int i) { return static_cast<int>(std::lround((rgb[i] + base) * 255)); };
  return format("#%02X%02X%02X", channel(0), channel(1), channel(2));
}

/// The colours of the file types seen, in ascending order of type byte: hues spread evenly over
/// 30-200 and 260-320 degrees, clear of the red of bytes claimed twice and the blue of directory
/// nodes, with neighbours alternating in lightness.
std::map<std::uint8_t, std::string> type_colours(const ArchiveLayout& layout) {
  std::map<std::uint8_t, std::string> colours;
  for (const Segment& segment : layout.segments) {
    if (segment.claims > 0 && segment.owner.kind == Owner::Kind::File)
      colours[type_byte(segment.owner.ref)];
  }
  constexpr double kTrack = 230;  // degrees of hue, the gap at 200-260 left out
  double i = 0;
  for (auto& [type, colour] : colours) {
    const double along = kTrack * i / static_cast<double>(colours.size());
    colour = hsl_colour(30 + along + (along >= 170 ? 60 : 0), 0.7,
                        static_cast<int>(i) % 2 == 0 ? 0.45 : 0.65);
    ++i;
  }
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

/// The grid, one rect per run of same-coloured cells in a row.
std::string grid_rects(std::span<const CellOwner> owners, const Palette& palette) {
  std::string rects;
  for (std::size_t k = 0; k < owners.size();) {
    const std::string colour = palette.colour(owners[k]);
    const std::size_t row_end = std::min(owners.size(), (k / kColumns + 1) * kColumns);
    std::size_t end = k + 1;
    while (end < row_end && palette.colour(owners[end]) == colour)
      ++end;
    rects += rect(kMargin + (k % kColumns) * kCell, kGridTop + (k / kColumns) * kCell,
                  (end - k) * kCell, kCell, colour);
    k = end;
  }
  return rects;
}

std::string map_svg(const std::string& archive, const ArchiveLayout& layout) {
  const Grid grid = grid_for(layout);
  const Palette palette{type_colours(layout)};
  const std::vector<LegendItem> legend = palette.legend();
  const std::uint64_t rows = (grid.cells + kColumns - 1) / kColumns;
  const std::uint64_t legend_top = kGridTop + rows * kCell + kMargin;
  const std::uint64_t width = 2 * kMargin + kColumns * kCell;
  const std::uint64_t height = legend_top + legend.size() * kLineHeight + kMargin;

  std::string svg = format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%llu\" height=\"%llu\" "
      "viewBox=\"0 0 %llu %llu\" font-family=\"sans-serif\" font-size=\"12\">\n",
      static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
      static_cast<unsigned long long>(width), static_cast<unsigned long long>(height));
  svg += rect(0, 0, width, height, "#FFFFFF");
  std::uint64_t baseline = kLineHeight;
  for (const std::string& line : summary(archive, layout, grid)) {
    svg += text(kMargin, baseline, line);
    baseline += kLineHeight;
  }
  // Crisp edges: cells that touch show no seams of the background between them.
  svg += "<g shape-rendering=\"crispEdges\">\n" + grid_rects(cell_owners(layout, grid), palette) +
         "</g>\n";
  for (std::size_t i = 0; i < legend.size(); ++i) {
    const std::uint64_t top = legend_top + i * kLineHeight;
    svg += rect(kMargin, top, kSwatch, kSwatch, legend[i].colour);
    svg += text(kMargin + kSwatch + 6, top + kSwatch - 2, legend[i].label);
  }
  return svg + "</svg>\n";
}

int run_map(const MapOptions& options) {
  const auto checked = check_archive(options.archive);
  if (!checked) {
    report_archive_error(kName, options.archive, checked.error());
    return kExitTrouble;
  }
  const std::string svg = map_svg(options.archive, checked->layout);
  const std::vector<std::uint8_t> bytes(svg.begin(), svg.end());
  if (auto written = write_output(options.output, bytes, identity_of(options.archive));
      !written) {
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
      "that owns most of its bytes, with a legend and the files' fragmentation");
  add_archive_argument(*command, options->archive);
  command
      ->add_option("-o,--output", options->output,
                   "The SVG file to write, or - for standard output; written as the shell's > "
                   "writes (through links, into FIFOs and devices), never over the archive")
      ->required()
      ->type_name("FILE.svg");
  command->callback([options, &run] { run = [options] { return run_map(*options); }; });
}

}  // namespace tallowmere_dat::cli
