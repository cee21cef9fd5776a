#include "app/patch_graph.h"

#include <graphviz/cgraph.h>
#include <graphviz/gvc.h>

#include <cstdio>
#include <map>
#include <set>

#include "host/voice_keys.h"
#include "engine/generator.h"
#include "patch/patch_log.h"

namespace {

constexpr int kVoices = 3;  // the keys and MIDI channels play voices 0 to 2

struct Module {
  const void* p;
  const char* kind;
  const char* name;
};

// Every module of the graph, in the order of the file.
std::vector<Module> modules_of(const GENERATOR& g, const PatchLog& log) {
  std::vector<Module> v;
  auto add = [&](const auto& list, const char* kind) {
    for (const auto* m : list) v.push_back({m, kind, m->name});
  };
  add(g.liste_sequencer, "sequencer");
  add(g.liste_keyboard, "keyboard");
  add(g.liste_sampler, "sampler");
  add(g.liste_vco, "oscillator");
  add(g.liste_vca, "amplifier");
  add(g.liste_mixer, "mixer");
  std::stable_sort(v.begin(), v.end(), [&](const Module& a, const Module& b) {
    const int la = log.line_of(a.p), lb = log.line_of(b.p);
    return la != lb ? la < lb : log.column_of(a.p) < log.column_of(b.p);
  });
  return v;
}

// The parameter fields of a module's line, as written, four to a label line:
// "\\n*TYPE=1 *NOTE=0" (Graphviz's escape for a line break).
std::string parameters(const std::string& line) {
  std::string out;
  int n = 0;
  size_t a = line.find(';');
  while (a != std::string::npos) {
    const size_t b = line.find(';', a + 1);
    if (b == std::string::npos) break;
    if (line[a + 1] == '*') out += (n++ % 4 == 0 ? "\\n" : " ") + line.substr(a + 1, b - a - 1);
    a = b;
  }
  return out;
}

// Graphviz takes and keeps char*; the texts live in this pool until the graph closes.
char* c(std::string s, std::vector<std::string>& pool) {
  pool.push_back(std::move(s));
  return &pool.back()[0];
}

}  // namespace

bool draw_patch(GENERATOR& g, const PatchLog& log, const PatchCheck& check, const std::string& out,
                std::string* why) {
  const std::vector<Module> modules = modules_of(g, log);
  std::map<const void*, size_t> index;
  for (size_t i = 0; i < modules.size(); i++) index[modules[i].p] = i;

  // Voice v: keyboard v and amplifier v, and what feeds the amplifier, back through
  // the links (no keyboard or sequencer of its own: those drive, they are not heard).
  std::map<const void*, int> voice_of;
  const int voices = std::min<int>(
      {kVoices, static_cast<int>(g.liste_keyboard.size()), static_cast<int>(g.liste_vca.size())});
  std::set<const void*> drivers(g.liste_keyboard.begin(), g.liste_keyboard.end());
  drivers.insert(g.liste_sequencer.begin(), g.liste_sequencer.end());
  for (int v = 0; v < voices; v++) {
    std::vector<const void*> members{g.liste_keyboard[v], g.liste_vca[v]};
    for (size_t k = 1; k < members.size(); k++)
      for (const PatchLog::Link& l : log.links())
        if (l.to == members[k] && !drivers.count(l.from) && !voice_of.count(l.from) &&
            std::find(members.begin(), members.end(), l.from) == members.end())
          members.push_back(l.from);
    for (const PatchLog::Link& l : log.links())
      if (l.from == g.liste_keyboard[v] && !voice_of.count(l.to) && !drivers.count(l.to) &&
          std::find(members.begin(), members.end(), l.to) == members.end())
        members.push_back(l.to);
    for (const void* m : members)
      if (!voice_of.count(m)) voice_of[m] = v;
  }

  // What the check found about each module: flagged by a warning or an error.
  std::map<const void*, std::string> flagged;
  for (const Finding& f : check.findings) {
    if (f.severity == Severity::Note) continue;
    for (const Module& m : modules) {
      const int line = log.line_of(m.p), column = log.column_of(m.p);
      const int end = column + static_cast<int>(log.text_of(m.p).size());
      const bool at =
          f.module ? f.module == m.p
                   : f.line == line && (f.token_column ? f.token_column == column
                                                       : f.column >= column && f.column < end);
      if (at) flagged[m.p] += (flagged[m.p].empty() ? "" : "\n") + f.message;
    }
  }

  std::vector<std::string> pool;
  pool.reserve(8 * modules.size() + 4 * log.links().size() + 64);
  Agraph_t* graph = agopen(c("patch", pool), Agdirected, nullptr);
  agattr(graph, AGRAPH, c("rankdir", pool), c("LR", pool));
  agattr(graph, AGNODE, c("label", pool), c("", pool));
  agattr(graph, AGNODE, c("shape", pool), c("box", pool));
  agattr(graph, AGNODE, c("style", pool), c("rounded", pool));
  agattr(graph, AGNODE, c("fillcolor", pool), c("white", pool));
  agattr(graph, AGNODE, c("tooltip", pool), c("", pool));
  agattr(graph, AGEDGE, c("label", pool), c("", pool));
  agattr(graph, AGRAPH, c("label", pool), c("", pool));
  std::vector<Agraph_t*> clusters;
  for (int v = 0; v < voices; v++) {
    Agraph_t* sub = agsubg(graph, c("cluster_voice" + std::to_string(v), pool), 1);
    std::string keys;
    for (const KeyBinding& k : kNoteKeys)
      if (k.voice == v) keys += std::string(keys.empty() ? "" : " ") + k.name;
    agsafeset(sub, c("label", pool), c("voice " + std::to_string(v) + ": keys " + keys, pool),
              c("", pool));
    clusters.push_back(sub);
  }
  std::vector<Agnode_t*> nodes;
  for (size_t i = 0; i < modules.size(); i++) {
    const Module& m = modules[i];
    const auto v = voice_of.find(m.p);
    Agraph_t* home = v == voice_of.end() ? graph : clusters[v->second];
    Agnode_t* n = agnode(home, c("m" + std::to_string(i + 1), pool), 1);
    const std::string params = parameters(log.text_of(m.p));
    agset(n, c("label", pool), c(std::string(m.kind) + "\\n" + m.name + params, pool));
    const auto f = flagged.find(m.p);
    if (f != flagged.end()) {
      agset(n, c("style", pool), c("rounded,filled", pool));
      agset(n, c("fillcolor", pool), c("orange", pool));
      agset(n, c("tooltip", pool), c(f->second, pool));
    }
    nodes.push_back(n);
  }
  for (const PatchLog::Link& l : log.links()) {
    const auto a = index.find(l.from), b = index.find(l.to);
    if (a == index.end() || b == index.end()) continue;
    Agedge_t* e = agedge(graph, nodes[a->second], nodes[b->second], nullptr, 1);
    agset(e, c("label", pool), c(l.word, pool));
  }

  bool ok = true;
  const bool dot = out == "-" || (out.size() > 4 && out.compare(out.size() - 4, 4, ".dot") == 0);
  if (dot) {
    // The graph as written, without a layout: the same text on every machine.
    FILE* f = out == "-" ? stdout : std::fopen(out.c_str(), "w");
    ok = f && agwrite(graph, f) == 0;
    if (f && f != stdout) ok = std::fclose(f) == 0 && ok;
    if (!ok) *why = "cannot write [" + out + "]";
  } else {
    // One context for the process: Graphviz's text layout keeps a pointer to the
    // last font name of a context it has freed, and reads it in the next one.
    static GVC_t* const gvc = gvContext();
    ok = gvLayout(gvc, graph, "dot") == 0 && gvRenderFilename(gvc, graph, "svg", c(out, pool)) == 0;
    if (!ok) *why = "Graphviz could not lay out or write [" + out + "]";
    gvFreeLayout(gvc, graph);
  }
  agclose(graph);
  return ok;
}
