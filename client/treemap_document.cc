#include "client/treemap_document.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <map>
#include <string_view>
#include <vector>

#include "client/display_text.h"
#include "client/scan_tree.h"
#include "client/tree_view.h"

namespace kelmarind::client {
namespace {

// Text is measured at this many pixels a column at the 11 px font below;
// slightly wide, so that a label never runs past its box.
constexpr double columnWidth = 7;
constexpr double leastBox = 2;
constexpr double leafLabelWidth = 30;
constexpr double leafLabelHeight = 14;
// Entries below this share of their directory would be under ~15 px square
// with the directory zoomed to fill the page: the page leaves them out.
constexpr double pageLeastShare = 1.0 / 5000;
constexpr std::size_t pageMaxBoxes = 60'000;

Rgb fromHsl(double hue, double saturation, double lightness) {
  const double chroma = (1 - std::abs(2 * lightness - 1)) * saturation;
  const double h = std::fmod(hue, 360.0) / 60.0;
  const double x = chroma * (1 - std::abs(std::fmod(h, 2.0) - 1));
  std::array<double, 3> rgb{};
  switch (static_cast<int>(h)) {
    case 0:
      rgb = {chroma, x, 0};
      break;
    case 1:
      rgb = {x, chroma, 0};
      break;
    case 2:
      rgb = {0, chroma, x};
      break;
    case 3:
      rgb = {0, x, chroma};
      break;
    case 4:
      rgb = {x, 0, chroma};
      break;
    default:
      rgb = {chroma, 0, x};
      break;
  }
  const double m = lightness - chroma / 2;
  const auto channel = [&](double v) {
    return static_cast<std::uint8_t>(std::clamp(std::lround((v + m) * 255), 0L, 255L));
  };
  return {channel(rgb[0]), channel(rgb[1]), channel(rgb[2])};
}

std::string hexColor(Rgb rgb) {
  constexpr std::string_view digits = "0123456789abcdef";
  std::string text = "#";
  for (const std::uint8_t channel : {rgb.red, rgb.green, rgb.blue}) {
    text += digits[channel >> 4];
    text += digits[channel & 0xf];
  }
  return text;
}

void appendXml(std::string_view text, std::string& out) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

// A JSON string safe inside a <script> element: no "</script>" can form.
void appendJson(std::string_view text, std::string& out) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '<':
        out += "\\u003c";
        break;
      case '>':
        out += "\\u003e";
        break;
      case '&':
        out += "\\u0026";
        break;
      default:
        out += c;
    }
  }
  out += '"';
}

// Numbers are written whatever the locale, since a decimal comma would break
// the picture and the page.
void appendPixels(double value, std::string& out) { out += formatFixed(value, 3); }

// `digits` (1 to 9) significant digits as %g writes them; the longest such
// text fits, so the conversion cannot fail.
std::string formatGeneral(double value, int digits) {
  std::array<char, 32> text{};
  const auto written = std::to_chars(text.data(), text.data() + text.size(), value,
                                     std::chars_format::general, std::clamp(digits, 1, 9));
  return {text.data(), written.ptr};
}

std::string displayName(const ScanEntry& entry) {
  return entry.isAggregate ? "[" + displayEscaped(entry.name) + "]" : displayEscaped(entry.name);
}

std::string countsText(const ScanEntry& entry) {
  const std::string counts = formatCounts(entry);
  return entry.isAggregate ? "merged small entries: " + counts : counts;
}

// Root path first, then each box's path joined to its parent's, escaped.
std::vector<std::string> boxPaths(const ScanTree& tree, const std::vector<TreemapBox>& boxes) {
  std::vector<std::string> paths(boxes.size());
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const TreemapBox& box = boxes[i];
    if (box.parent < 0) {
      paths[i] = displayEscaped(tree.rootPath().empty() ? tree.root().name : tree.rootPath());
      continue;
    }
    paths[i] = paths[static_cast<std::size_t>(box.parent)];
    if (!paths[i].ends_with('/')) paths[i] += '/';
    paths[i] += displayName(tree[box.entry]);
  }
  return paths;
}

bool hasStrip(const TreemapBox& box) { return box.content.y - box.bounds.y > 1.5; }

// The label a box shows, or empty: directories showing their entries have it
// in their name strip, others when they are large enough to hold a line.
std::string labelOf(const TreemapBox& box, const ScanTree& tree, const std::string& path) {
  const ScanEntry& entry = tree[box.entry];
  const bool showsEntries = box.content.area() > 0;
  if (showsEntries ? !hasStrip(box)
                   : box.bounds.width < leafLabelWidth || box.bounds.height < leafLabelHeight) {
    return {};
  }
  const std::string text =
      (box.parent < 0 ? path : displayName(entry)) + "  " + formatByteSize(entry.allocatedSize);
  const int columns = static_cast<int>((box.bounds.width - 6) / columnWidth);
  return columns >= 2 ? fitToColumns(text, columns) : std::string();
}

void appendSvgBox(const ScanTree& tree, const TreemapBox& box, const std::string& path,
                  std::string& out) {
  const ScanEntry& entry = tree[box.entry];
  out += "<g><rect x=\"";
  appendPixels(box.bounds.x, out);
  out += "\" y=\"";
  appendPixels(box.bounds.y, out);
  out += "\" width=\"";
  appendPixels(box.bounds.width, out);
  out += "\" height=\"";
  appendPixels(box.bounds.height, out);
  out += "\" fill=\"" + hexColor(treemapFill(box, tree)) + "\" data-size=\"";
  out += std::to_string(entry.allocatedSize);
  out += '"';
  if (box.content.area() > 0) {
    out += " data-content=\"";
    for (const double v : {box.content.x, box.content.y, box.content.width, box.content.height}) {
      appendPixels(v, out);
      out += ' ';
    }
    out.back() = '"';
  }
  out += "><title>";
  appendXml(path, out);
  out += "\n";
  out += formatByteSize(entry.allocatedSize);
  if (const std::string counts = countsText(entry); !counts.empty()) out += " \u00b7 " + counts;
  out += "</title></rect>";
  if (const std::string label = labelOf(box, tree, path); !label.empty()) {
    out += "<text x=\"";
    appendPixels(box.bounds.x + 3, out);
    out += "\" y=\"";
    appendPixels(box.bounds.y + 12, out);
    out += "\">";
    appendXml(label, out);
    out += "</text>";
  }
  out += '\n';
}

constexpr std::string_view pageHead = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<title>)";

constexpr std::string_view pageStyle = R"(</title>
<style>
html, body { margin: 0; height: 100%; background: #fff; font: 12px "DejaVu Sans", sans-serif; }
#bar { height: 28px; line-height: 28px; padding: 0 8px; background: #2b2b2b; color: #ddd;
       white-space: nowrap; overflow: hidden; }
#bar a { color: #8cf; cursor: pointer; }
#map { display: block; width: 100vw; height: calc(100vh - 28px); }
#map rect { stroke: #fff; stroke-width: 0.5; }
#map text { font-size: 11px; fill: #111; pointer-events: none; }
#tip { position: fixed; display: none; pointer-events: none; white-space: pre; padding: 4px 6px;
       background: #222; color: #fff; border-radius: 3px; }
</style></head><body>
<div id="bar"><span id="crumbs"></span> &mdash; click a box to zoom into its directory, Esc or Backspace to go back</div>
<svg id="map" xmlns="http://www.w3.org/2000/svg" preserveAspectRatio="xMidYMid meet"></svg>
<div id="tip"></div>
<script id="treemap-data" type="application/json">)";

// Draws the same boxes and labels as the SVG writer above, from the layout
// embedded in the page: each entry's rectangle is kept relative to the room
// its directory gives its entries, so zooming only maps those rectangles
// into a larger room and never lays anything out again.
constexpr std::string_view pageScript = R"(</script>
<script>
(() => {
'use strict';
const data = JSON.parse(document.getElementById('treemap-data').textContent);
const S = data.style, N = data.nodes, SVG = 'http://www.w3.org/2000/svg';
const NAME = 0, SIZE = 1, COUNTS = 2, KIND = 3, PARENT = 4, X = 5, Y = 6, W = 7, H = 8, COLOR = 9;
const DIRECTORY = 1;
const kids = N.map(() => []);
for (let i = 1; i < N.length; ++i) kids[N[i][PARENT]].push(i);
const map = document.getElementById('map');
const tip = document.getElementById('tip');
const crumbs = document.getElementById('crumbs');
map.setAttribute('viewBox', `0 0 ${S.width} ${S.height}`);
let zoom = 0;

function contentOf(b) {
  const r = S.border;
  if (b.w >= S.labelWidth && b.h >= 2 * S.labelHeight)
    return {x: b.x + r, y: b.y + S.labelHeight, w: b.w - 2 * r, h: b.h - S.labelHeight - r, strip: true};
  if (b.w >= 4 * r && b.h >= 4 * r)
    return {x: b.x + r, y: b.y + r, w: b.w - 2 * r, h: b.h - 2 * r, strip: false};
  return {x: b.x, y: b.y, w: b.w, h: b.h, strip: false};
}
function fit(text, room) {
  const columns = Math.floor(room / S.columnWidth), chars = Array.from(text);
  if (chars.length <= columns) return text;
  return columns < 2 ? '' : chars.slice(0, columns - 1).join('') + '\u2026';
}
function pathOf(i) {
  const names = [];
  for (let j = i; j > 0; j = N[j][PARENT]) names.unshift(N[j][NAME]);
  if (!names.length) return data.root;
  return data.root + (data.root.endsWith('/') ? '' : '/') + names.join('/');
}
function element(name, attributes, text) {
  const e = document.createElementNS(SVG, name);
  for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}
function draw() {
  const boxes = document.createDocumentFragment(), labels = [];
  const stack = [[zoom, {x: 0, y: 0, w: S.width, h: S.height}, 0]];
  while (stack.length) {
    const [i, b, depth] = stack.pop();
    if (b.w < S.leastBox || b.h < S.leastBox) continue;
    const n = N[i];
    boxes.append(element('rect', {x: b.x, y: b.y, width: b.w, height: b.h,
                                  fill: data.colors[n[COLOR]], 'data-i': i}));
    const c = contentOf(b);
    const nests = n[KIND] === DIRECTORY && kids[i].length > 0 && depth < S.maxDepth &&
                  c.w >= S.leastNesting && c.h >= S.leastNesting;
    if (nests ? c.strip : b.w >= S.leafLabelWidth && b.h >= S.leafLabelHeight) {
      const text = fit((i === zoom ? pathOf(i) : n[NAME]) + '  ' + n[SIZE], b.w - 6);
      if (text) labels.push(element('text', {x: b.x + 3, y: b.y + 12}, text));
    }
    if (!nests) continue;
    for (const k of kids[i]) {
      const m = N[k];
      stack.push([k, {x: c.x + m[X] * c.w, y: c.y + m[Y] * c.h, w: m[W] * c.w, h: m[H] * c.h},
                  depth + 1]);
    }
  }
  boxes.append(...labels);
  map.replaceChildren(boxes);
  crumbs.replaceChildren();
  for (let j = zoom, first = true; j >= 0; j = j > 0 ? N[j][PARENT] : -1, first = false) {
    const a = document.createElement('a');
    a.textContent = j === 0 ? data.root : N[j][NAME];
    const target = j;
    a.addEventListener('click', () => zoomTo(target));
    if (!first) crumbs.prepend(' / ');
    crumbs.prepend(a);
  }
}
function zoomTo(i) {
  zoom = i;
  const names = [];
  for (let j = i; j > 0; j = N[j][PARENT]) names.unshift(encodeURIComponent(N[j][NAME]));
  history.replaceState(null, '', names.length ? '#zoom=' + names.join('/') : '#');
  draw();
}
function boxAt(event) {
  const i = event.target.getAttribute && event.target.getAttribute('data-i');
  return i === null || i === undefined ? -1 : Number(i);
}
map.addEventListener('mousemove', event => {
  const i = boxAt(event);
  if (i < 0) { tip.style.display = 'none'; return; }
  const n = N[i];
  tip.textContent = pathOf(i) + '\n' + n[SIZE] + (n[COUNTS] ? ' \u00b7 ' + n[COUNTS] : '');
  tip.style.display = 'block';
  tip.style.left = Math.max(0, Math.min(event.clientX + 14, innerWidth - tip.offsetWidth - 4)) + 'px';
  tip.style.top = Math.max(0, Math.min(event.clientY + 14, innerHeight - tip.offsetHeight - 4)) + 'px';
});
map.addEventListener('mouseleave', () => { tip.style.display = 'none'; });
map.addEventListener('click', event => {
  let i = boxAt(event);
  while (i > 0 && !(N[i][KIND] === DIRECTORY && kids[i].length > 0)) i = N[i][PARENT];
  if (i >= 0 && i !== zoom) zoomTo(i);
});
document.addEventListener('keydown', event => {
  if ((event.key === 'Escape' || event.key === 'Backspace') && zoom > 0) zoomTo(N[zoom][PARENT]);
});
const wanted = location.hash.startsWith('#zoom=') ? location.hash.slice(6).split('/') : [];
for (const part of wanted) {
  const name = decodeURIComponent(part);
  const next = kids[zoom].find(k => N[k][NAME] === name && N[k][KIND] === DIRECTORY);
  if (next === undefined) break;
  zoom = next;
}
draw();
})();
</script>
</body></html>
)";

void appendPageData(const ScanTree& tree, const TreemapStyle& style,
                    const std::vector<TreemapBox>& boxes, std::string& out) {
  out += "{\"root\":";
  appendJson(displayEscaped(tree.rootPath().empty() ? tree.root().name : tree.rootPath()), out);
  out += ",\"style\":{";
  const std::pair<const char*, double> settings[] = {
      {"width", style.width},
      {"height", style.height},
      {"labelHeight", style.labelHeight},
      {"labelWidth", style.labelWidth},
      {"border", style.border},
      {"leastNesting", style.leastNesting},
      {"maxDepth", style.maxDepth},
      {"leastBox", leastBox},
      {"leafLabelWidth", leafLabelWidth},
      {"leafLabelHeight", leafLabelHeight},
      {"columnWidth", columnWidth},
  };
  for (const auto& [key, value] : settings) {
    out += '"';
    out += key;
    out += "\":";
    out += formatGeneral(value, 6);
    out += ',';
  }
  out.back() = '}';

  std::map<std::string, int> colorIndex;
  std::string colors;
  out += ",\"nodes\":[";
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const TreemapBox& box = boxes[i];
    const ScanEntry& entry = tree[box.entry];
    const std::string color = hexColor(treemapFill(box, tree));
    const auto [at, isNew] = colorIndex.emplace(color, static_cast<int>(colorIndex.size()));
    if (isNew) colors += (colors.empty() ? "\"" : ",\"") + color + '"';
    out += i == 0 ? "[" : ",\n[";
    appendJson(box.parent < 0 ? std::string() : displayName(entry), out);
    out += ',';
    appendJson(formatByteSize(entry.allocatedSize), out);
    out += ',';
    appendJson(countsText(entry), out);
    out += entry.isAggregate ? ",2," : entry.isDirectory ? ",1," : ",0,";
    out += std::to_string(box.parent);
    // Relative to the room the parent gives its entries; the root fills the page.
    const Rect room =
        box.parent < 0 ? box.bounds : boxes[static_cast<std::size_t>(box.parent)].content;
    for (const double v :
         {(box.bounds.x - room.x) / room.width, (box.bounds.y - room.y) / room.height,
          box.bounds.width / room.width, box.bounds.height / room.height}) {
      out += ',';
      out += formatGeneral(v, 7);
    }
    out += ',' + std::to_string(at->second) + ']';
  }
  out += "],\"colors\":[" + colors + "]}";
}

}  // namespace

Rgb treemapFill(const TreemapBox& box, const ScanTree& tree) {
  if (box.group < 0) return {0xe4, 0xe4, 0xe4};
  // Golden-angle steps keep neighbouring subtrees' hues far apart.
  const double hue = std::fmod(210.0 + 137.508 * box.group, 360.0);
  const ScanEntry& entry = tree[box.entry];
  const double lightness = std::min(0.84, 0.56 + 0.06 * (box.depth - 1));
  if (entry.isAggregate) return fromHsl(hue, 0.12, 0.80);
  if (entry.isDirectory) return fromHsl(hue, 0.50, lightness);
  return fromHsl(hue, 0.62, std::min(0.90, lightness + 0.08));
}

std::string treemapSvg(const ScanTree& tree, const TreemapStyle& style) {
  const std::vector<TreemapBox> boxes = layoutTreemap(tree, style);
  const std::vector<std::string> paths = boxPaths(tree, boxes);
  std::vector<std::vector<std::size_t>> children(boxes.size());
  for (std::size_t i = 1; i < boxes.size(); ++i) {
    children[static_cast<std::size_t>(boxes[i].parent)].push_back(i);
  }

  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"";
  const std::string width = formatGeneral(style.width, 6);
  const std::string height = formatGeneral(style.height, 6);
  out += " width=\"" + width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + ' ' + height;
  out +=
      "\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"11\">\n"
      "<style>rect { stroke: #fff; stroke-width: 0.5; } text { fill: #111; }</style>\n";
  // Depth first with explicit closing marks, so any depth is fine.
  constexpr std::size_t closing = std::size_t{1} << 63;
  std::vector<std::size_t> stack = {0};
  while (!stack.empty()) {
    const std::size_t top = stack.back();
    stack.pop_back();
    if (top & closing) {
      out += "</g>\n";
      continue;
    }
    const TreemapBox& box = boxes[top];
    if (box.bounds.width < leastBox || box.bounds.height < leastBox) continue;
    appendSvgBox(tree, box, paths[top], out);
    stack.push_back(top | closing);
    stack.insert(stack.end(), children[top].rbegin(), children[top].rend());
  }
  out += "</svg>\n";
  return out;
}

std::string treemapHtml(const ScanTree& tree, const TreemapStyle& style) {
  TreemapStyle deep = style;
  deep.leastNesting = 0;
  deep.leastShare = pageLeastShare;
  deep.maxBoxes = pageMaxBoxes;
  const std::vector<TreemapBox> boxes = layoutTreemap(tree, deep);

  std::string out(pageHead);
  out += "Treemap of ";
  appendXml(displayEscaped(tree.rootPath().empty() ? tree.root().name : tree.rootPath()), out);
  out += pageStyle;
  appendPageData(tree, style, boxes, out);
  out += pageScript;
  return out;
}

}  // namespace kelmarind::client
