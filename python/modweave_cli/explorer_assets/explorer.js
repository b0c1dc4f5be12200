// The interactive import-graph explorer: a force layout drawn on one canvas, and a side panel.
//
// Every name and path comes from the analysed tree, so the page treats them as data only: text goes
// into the DOM through textContent and into the canvas through fillText, never through markup.
(function () {
  "use strict";

  const CATEGORIES = [
    { key: "project", label: "project", colour: "#2f9e6e" },
    { key: "stdlib", label: "standard library", colour: "#3b7dd8" },
    { key: "third-party", label: "third-party", colour: "#e07b39" },
    { key: "other", label: "other (extension, namespace)", colour: "#8e9aa6" },
  ];
  const CATEGORY_OF_KIND = {
    project: "project", stdlib: "stdlib", "built-in": "stdlib", frozen: "stdlib",
    "third-party": "third-party",
  };
  const COLOUR_OF_CATEGORY = new Map(CATEGORIES.map((category) => [category.key, category.colour]));
  const LIST_LIMIT = 200; // longer neighbour lists open on request: thousands of rows stall the panel
  const LABEL_ALL_BELOW = 150; // nodes in view under which every node is labelled
  const FIRST_LAYOUT_MILLISECONDS = 250; // layout steps run before the first picture, at most
  const IMPORT_COLOUR = "#1d5fa8";
  const IMPORTER_COLOUR = "#b8860b";
  const CHAIN_COLOUR = "#7b3fa0";
  const CYCLE_COLOUR = "#c0392b";

  const graphDocument = JSON.parse(document.getElementById("modweave-graph").textContent);
  const rootName = graphDocument.root.name;

  // The model: every module of the document, and its imports in the document's (sorted) order, so
  // that a breadth-first search meets them in the order the command's `why` does.
  const modules = new Map();
  for (const node of graphDocument.nodes) {
    modules.set(node.name, {
      name: node.name, origin: node.origin, depth: node.depth, kind: node.kind,
      category: CATEGORY_OF_KIND[node.kind] || "other", imports: [], importers: [],
    });
  }
  for (const edge of graphDocument.edges) {
    const from = modules.get(edge.from);
    const to = modules.get(edge.to);
    if (from !== undefined && to !== undefined) {
      from.imports.push(to);
      to.importers.push(from);
    }
  }
  const largestDepth = Math.max(0, ...Array.from(modules.values(), (m) => m.depth || 0));

  // A package is a dotted prefix with at least one module under it; its size counts the package's own
  // module too. The root is never part of a package: its name may be a path with dots in it.
  const packageSizes = new Map();
  for (const name of modules.keys()) {
    if (name === rootName) continue;
    for (let dot = name.indexOf("."); dot !== -1; dot = name.indexOf(".", dot + 1)) {
      const prefix = name.slice(0, dot);
      packageSizes.set(prefix, (packageSizes.get(prefix) || 0) + 1);
    }
  }
  for (const prefix of packageSizes.keys()) {
    if (modules.has(prefix) && prefix !== rootName) packageSizes.set(prefix, packageSizes.get(prefix) + 1);
  }

  function enclosingPackages(name) {
    if (name === rootName) return [];
    const prefixes = [];
    for (let dot = name.indexOf("."); dot !== -1; dot = name.indexOf(".", dot + 1)) prefixes.push(name.slice(0, dot));
    if (packageSizes.has(name)) prefixes.push(name);
    return prefixes;
  }

  // Where a module settles: beside its siblings, with a package module among its own submodules.
  function clusterOf(name) {
    if (name === rootName) return null;
    if (packageSizes.has(name)) return name;
    const dot = name.lastIndexOf(".");
    return dot === -1 ? null : name.slice(0, dot);
  }

  // Shortest chains from the root: one breadth-first search gives every module the predecessor that
  // a search stopping at that module would have given it.
  const chainPredecessor = new Map();
  if (modules.has(rootName)) {
    const root = modules.get(rootName);
    chainPredecessor.set(root, null);
    const queue = [root];
    for (let head = 0; head < queue.length; head++) {
      for (const imported of queue[head].imports) {
        if (!chainPredecessor.has(imported)) {
          chainPredecessor.set(imported, queue[head]);
          queue.push(imported);
        }
      }
    }
  }

  function chainTo(module) {
    if (!chainPredecessor.has(module)) return null;
    const chain = [];
    for (let step = module; step !== null; step = chainPredecessor.get(step)) chain.push(step);
    return chain.reverse();
  }

  // Groups of modules that import each other (strongly connected components of more than one module),
  // largest first. Iterative Tarjan: import chains run deeper than the JavaScript stack allows.
  function findCycles(included) {
    const index = new Map();
    const lowlink = new Map();
    const onStack = new Set();
    const stack = [];
    const components = [];
    for (const start of included) {
      if (index.has(start)) continue;
      const work = [[start, 0]];
      while (work.length > 0) {
        const [module, position] = work.pop();
        if (position === 0) {
          index.set(module, index.size);
          lowlink.set(module, index.get(module));
          stack.push(module);
          onStack.add(module);
        }
        const successors = module.imports;
        let next = position;
        while (next < successors.length && !included.has(successors[next])) next++;
        if (next < successors.length) {
          work.push([module, next + 1]);
          const successor = successors[next];
          if (!index.has(successor)) work.push([successor, 0]);
          else if (onStack.has(successor)) lowlink.set(module, Math.min(lowlink.get(module), index.get(successor)));
          continue;
        }
        if (work.length > 0) {
          const parent = work[work.length - 1][0];
          lowlink.set(parent, Math.min(lowlink.get(parent), lowlink.get(module)));
        }
        if (lowlink.get(module) === index.get(module)) {
          const component = [];
          let member;
          do {
            member = stack.pop();
            onStack.delete(member);
            component.push(member.name);
          } while (member !== module);
          if (component.length > 1) components.push(component.sort());
        }
      }
    }
    return components.sort((a, b) => b.length - a.length || compareLists(a, b));
  }

  function compareLists(a, b) {
    for (let i = 0; i < Math.min(a.length, b.length); i++) {
      if (a[i] !== b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return a.length - b.length;
  }

  // ---- What is shown: filters, collapsed packages, and the simulation's nodes and links.

  const state = {
    selected: null, // a shown node
    selectedModule: null, // the module asked for, which may be hidden inside a collapsed package
    hovered: null,
    largestDepthShown: null, // null: every depth, unreached modules included
    showStandardLibrary: true,
    cyclesShown: false,
    cyclesEverywhere: false,
    cycles: [],
    highlightedCycle: null,
  };
  const collapsed = new Set();
  const nodeCache = new Map(); // node id -> simulation node, kept so that positions survive a rebuild
  let shownNodes = [];
  let shownLinks = [];
  let representative = new Map(); // module -> the shown node that stands for it

  function collapsedPackageOf(name) {
    for (const prefix of enclosingPackages(name)) {
      if (collapsed.has(prefix)) return prefix;
    }
    return null;
  }

  function passesFilters(module) {
    if (module.name === rootName) return true;
    if (!state.showStandardLibrary && module.category === "stdlib") return false;
    if (state.largestDepthShown !== null && (module.depth === null || module.depth > state.largestDepthShown)) return false;
    return true;
  }

  function moduleNode(module) {
    const id = "module:" + module.name;
    let node = nodeCache.get(id);
    if (node === undefined) {
      node = { id, name: module.name, module, package: null, cluster: clusterOf(module.name), members: [] };
      nodeCache.set(id, node);
    }
    return node;
  }

  function packageNode(prefix) {
    const id = "package:" + prefix;
    let node = nodeCache.get(id);
    if (node === undefined) {
      node = { id, name: prefix, module: null, package: prefix, cluster: clusterOf(prefix), members: [] };
      nodeCache.set(id, node);
    }
    return node;
  }

  function rebuild() {
    const shown = new Map();
    representative = new Map();
    for (const module of modules.values()) {
      if (!passesFilters(module)) continue;
      const prefix = collapsedPackageOf(module.name);
      const node = prefix === null ? moduleNode(module) : packageNode(prefix);
      if (!shown.has(node.id)) {
        node.members = [];
        shown.set(node.id, node);
      }
      node.members.push(module);
      representative.set(module, node);
    }
    for (const node of shown.values()) {
      if (node.x !== undefined) continue;
      // A package starts where its modules were; its anchor lets them return there, moved with it.
      const placed = node.members.map(moduleNode).filter((member) => member.x !== undefined);
      node.x = placed.reduce((sum, member) => sum + member.x, 0) / Math.max(1, placed.length);
      node.y = placed.reduce((sum, member) => sum + member.y, 0) / Math.max(1, placed.length);
      node.anchorX = node.x;
      node.anchorY = node.y;
    }
    const links = new Map();
    for (const [module, from] of representative) {
      for (const imported of module.imports) {
        const to = representative.get(imported);
        if (to === undefined || to === from) continue;
        const key = from.id + "\u0000" + to.id;
        if (!links.has(key)) links.set(key, { source: from, target: to });
      }
    }
    shownNodes = Array.from(shown.values());
    shownLinks = Array.from(links.values());
    for (const node of shownNodes) node.radius = radiusOf(node);
    simulation.nodes(shownNodes);
    simulation.force("link").links(shownLinks);
    if (state.selected !== null && !shown.has(state.selected.id)) {
      state.selected = state.selectedModule === null ? null : representative.get(state.selectedModule) || null;
    }
    if (state.hovered !== null && !shown.has(state.hovered.id)) state.hovered = null;
    updateCounts();
  }

  function radiusOf(node) {
    if (node.package !== null) return 5 + 1.6 * Math.sqrt(node.members.length);
    return node.name === rootName ? 9 : 4.5;
  }

  function categoryOfNode(node) {
    if (node.module !== null) return node.module.category;
    const counts = new Map();
    for (const member of node.members) counts.set(member.category, (counts.get(member.category) || 0) + 1);
    return Array.from(counts).sort((a, b) => b[1] - a[1])[0][0];
  }

  // Seeds every module near the others of its top-level package, the packages on a spiral, so that
  // the layout starts close to where it settles and the first picture already shows the groups.
  function seedPositions() {
    let seed = 20240601;
    const random = () => {
      seed = (seed + 0x6d2b79f5) | 0;
      let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
      t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
      return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
    };
    const groups = new Map();
    for (const module of modules.values()) {
      if (module.name === rootName) continue;
      const top = module.name.split(".", 1)[0];
      if (!groups.has(top)) groups.set(top, []);
      groups.get(top).push(module);
    }
    const ordered = Array.from(groups).sort((a, b) => b[1].length - a[1].length || (a[0] < b[0] ? -1 : 1));
    const spacing = 14;
    let placedArea = 0;
    ordered.forEach(([, members], index) => {
      const groupRadius = spacing * Math.sqrt(members.length);
      const distance = index === 0 ? 0 : spacing * Math.sqrt(placedArea) + groupRadius;
      const angle = index * 2.39996; // the golden angle spreads the groups evenly
      const centreX = distance * Math.cos(angle);
      const centreY = distance * Math.sin(angle);
      placedArea += members.length * 1.6;
      for (const module of members) {
        const r = groupRadius * Math.sqrt(random());
        const a = random() * 2 * Math.PI;
        const node = moduleNode(module);
        node.x = centreX + r * Math.cos(a);
        node.y = centreY + r * Math.sin(a);
      }
    });
    if (modules.has(rootName)) {
      const root = moduleNode(modules.get(rootName));
      root.x = 0;
      root.y = 0;
    }
  }

  function clusterForce(alpha) {
    const centres = new Map();
    for (const node of clusterForce.nodes) {
      if (node.cluster === null) continue;
      let centre = centres.get(node.cluster);
      if (centre === undefined) centres.set(node.cluster, (centre = { x: 0, y: 0, count: 0 }));
      centre.x += node.x;
      centre.y += node.y;
      centre.count++;
    }
    const strength = 0.12 * alpha;
    for (const node of clusterForce.nodes) {
      const centre = node.cluster === null ? undefined : centres.get(node.cluster);
      if (centre === undefined || centre.count < 2) continue;
      node.vx += (centre.x / centre.count - node.x) * strength;
      node.vy += (centre.y / centre.count - node.y) * strength;
    }
  }
  clusterForce.nodes = [];
  clusterForce.initialize = (nodes) => { clusterForce.nodes = nodes; };

  // Settles in about 200 steps rather than d3's 300: the clusters are in place long before.
  const simulation = d3.forceSimulation()
    .alphaDecay(0.035)
    .force("link", d3.forceLink().distance((link) => 24 + link.source.radius + link.target.radius))
    .force("charge", d3.forceManyBody().strength(-40).theta(0.9).distanceMax(800))
    .force("collide", d3.forceCollide((node) => node.radius + 1).iterations(1))
    .force("cluster", clusterForce)
    .force("x", d3.forceX(0).strength(0.015))
    .force("y", d3.forceY(0).strength(0.015))
    .stop();

  // ---- Drawing.

  const canvas = document.getElementById("canvas");
  const context = canvas.getContext("2d");
  let canvasWidth = 1;
  let canvasHeight = 1;
  let pixelRatio = 1;
  let transform = d3.zoomIdentity;
  let drawPending = false;

  function resizeCanvas() {
    const box = canvas.getBoundingClientRect();
    pixelRatio = window.devicePixelRatio || 1;
    canvasWidth = Math.max(1, box.width);
    canvasHeight = Math.max(1, box.height);
    canvas.width = Math.round(canvasWidth * pixelRatio);
    canvas.height = Math.round(canvasHeight * pixelRatio);
    requestDraw();
  }

  function requestDraw() {
    if (drawPending) return;
    drawPending = true;
    window.requestAnimationFrame(() => {
      drawPending = false;
      draw();
    });
  }

  // The nodes to show at full strength (the rest fade), and the links to draw in colour.
  function emphasis() {
    if (state.highlightedCycle !== null) {
      const nodes = new Set();
      for (const name of state.highlightedCycle) {
        const node = representative.get(modules.get(name));
        if (node !== undefined) nodes.add(node);
      }
      return { nodes, imports: new Set(), importers: new Set(), chain: new Set() };
    }
    if (state.selected === null) return null;
    const nodes = new Set([state.selected]);
    const imports = new Set();
    const importers = new Set();
    for (const member of state.selected.members) {
      for (const imported of member.imports) {
        const node = representative.get(imported);
        if (node !== undefined && node !== state.selected) { nodes.add(node); imports.add(node); }
      }
      for (const importer of member.importers) {
        const node = representative.get(importer);
        if (node !== undefined && node !== state.selected) { nodes.add(node); importers.add(node); }
      }
    }
    const chain = new Set();
    const chainModules = state.selected.module === null ? null : chainTo(state.selected.module);
    for (const module of chainModules || []) {
      const node = representative.get(module);
      if (node !== undefined) { chain.add(node); nodes.add(node); }
    }
    return { nodes, imports, importers, chain };
  }

  // The shown modules in the cycles on display, each with its group of modules.
  function cycleMembers() {
    const members = new Map();
    if (!state.cyclesShown) return members;
    const components = state.highlightedCycle === null ? state.cycles : [state.highlightedCycle];
    for (const component of components) {
      for (const name of component) {
        const node = representative.get(modules.get(name));
        if (node !== undefined && node.module !== null) members.set(node, component);
      }
    }
    return members;
  }

  function drawArrow(from, to, colour) {
    const dx = to.x - from.x;
    const dy = to.y - from.y;
    const length = Math.hypot(dx, dy);
    if (length < 1e-6) return;
    const ux = dx / length;
    const uy = dy / length;
    const tipX = to.x - ux * (to.radius + 1);
    const tipY = to.y - uy * (to.radius + 1);
    const size = Math.max(5, 7 / transform.k);
    context.beginPath();
    context.moveTo(from.x, from.y);
    context.lineTo(tipX, tipY);
    context.strokeStyle = colour;
    context.stroke();
    context.beginPath();
    context.moveTo(tipX, tipY);
    context.lineTo(tipX - ux * size - uy * size * 0.45, tipY - uy * size + ux * size * 0.45);
    context.lineTo(tipX - ux * size + uy * size * 0.45, tipY - uy * size - ux * size * 0.45);
    context.closePath();
    context.fillStyle = colour;
    context.fill();
  }

  function draw() {
    const scale = transform.k;
    context.setTransform(pixelRatio, 0, 0, pixelRatio, 0, 0);
    context.clearRect(0, 0, canvasWidth, canvasHeight);
    context.translate(transform.x, transform.y);
    context.scale(scale, scale);
    const focus = emphasis();
    const inCycle = cycleMembers();

    context.lineWidth = 1 / scale;
    context.strokeStyle = focus === null ? "rgba(82, 97, 117, 0.16)" : "rgba(82, 97, 117, 0.05)";
    context.beginPath();
    for (const link of shownLinks) {
      context.moveTo(link.source.x, link.source.y);
      context.lineTo(link.target.x, link.target.y);
    }
    context.stroke();

    if (inCycle.size > 0) {
      context.lineWidth = 1.6 / scale;
      context.strokeStyle = CYCLE_COLOUR;
      context.beginPath();
      for (const link of shownLinks) {
        const component = inCycle.get(link.source);
        if (component !== undefined && inCycle.get(link.target) === component) {
          context.moveTo(link.source.x, link.source.y);
          context.lineTo(link.target.x, link.target.y);
        }
      }
      context.stroke();
    }

    if (focus !== null && state.selected !== null) {
      context.lineWidth = 1.3 / scale;
      for (const node of focus.imports) drawArrow(state.selected, node, IMPORT_COLOUR);
      for (const node of focus.importers) drawArrow(node, state.selected, IMPORTER_COLOUR);
      const chain = state.selected.module === null ? null : chainTo(state.selected.module);
      if (chain !== null) {
        context.lineWidth = 2.5 / scale;
        const steps = chain.map((module) => representative.get(module)).filter((node) => node !== undefined);
        for (let i = 1; i < steps.length; i++) {
          if (steps[i - 1] !== steps[i]) drawArrow(steps[i - 1], steps[i], CHAIN_COLOUR);
        }
      }
    }

    // One path per colour and strength: a fill per node would cost most of the frame on large graphs.
    const smallest = 1.8 / scale;
    const fills = new Map();
    const rings = new Map();
    for (const node of shownNodes) {
      const faded = focus !== null && !focus.nodes.has(node);
      const fill = `${COLOUR_OF_CATEGORY.get(categoryOfNode(node))} ${faded ? 0.14 : 1}`;
      if (!fills.has(fill)) fills.set(fill, []);
      fills.get(fill).push(node);
      if (node.package !== null || node.name === rootName || inCycle.has(node)) {
        const ring = `${inCycle.has(node) ? CYCLE_COLOUR : node.package !== null ? "#ffffff" : "#1f2933"} ${faded ? 0.14 : 1}`;
        if (!rings.has(ring)) rings.set(ring, []);
        rings.get(ring).push(node);
      }
    }
    const circles = (nodes) => {
      context.beginPath();
      for (const node of nodes) {
        const radius = Math.max(node.radius, smallest);
        context.moveTo(node.x + radius, node.y);
        context.arc(node.x, node.y, radius, 0, 2 * Math.PI);
      }
    };
    for (const [fill, nodes] of fills) {
      const [colour, alpha] = fill.split(" ");
      context.globalAlpha = Number(alpha);
      context.fillStyle = colour;
      circles(nodes);
      context.fill();
    }
    context.lineWidth = 2.2 / scale;
    for (const [ring, nodes] of rings) {
      const [colour, alpha] = ring.split(" ");
      context.globalAlpha = Number(alpha);
      context.strokeStyle = colour;
      circles(nodes);
      context.stroke();
    }
    context.globalAlpha = 1;
    if (state.selected !== null) {
      context.beginPath();
      context.arc(state.selected.x, state.selected.y, state.selected.radius + 4 / scale, 0, 2 * Math.PI);
      context.lineWidth = 2.5 / scale;
      context.strokeStyle = "#111111";
      context.stroke();
    }
    drawLabels(focus, scale);
  }

  // Labels in order of importance; one that would overlap a label already drawn is left out, except
  // for the selected and the hovered module, which are always named.
  function drawLabels(focus, scale) {
    const wanted = [];
    if (state.selected !== null) wanted.push(state.selected);
    if (state.hovered !== null) wanted.push(state.hovered);
    const forced = wanted.length;
    if (modules.has(rootName) && representative.has(modules.get(rootName))) {
      wanted.push(representative.get(modules.get(rootName)));
    }
    if (focus !== null) wanted.push(...focus.chain, ...focus.nodes);
    const left = transform.invertX(0);
    const right = transform.invertX(canvasWidth);
    const top = transform.invertY(0);
    const bottom = transform.invertY(canvasHeight);
    const inView = shownNodes.filter((node) => node.x >= left && node.x <= right && node.y >= top && node.y <= bottom);
    wanted.push(...inView.filter((node) => node.package !== null && node.radius * scale > 9));
    if (inView.length <= LABEL_ALL_BELOW) wanted.push(...inView);

    const height = 12 / scale;
    context.font = `${height}px system-ui, sans-serif`;
    context.textBaseline = "middle";
    context.lineJoin = "round";
    context.lineWidth = 3 / scale;
    const drawn = new Set();
    const boxes = [];
    wanted.forEach((node, index) => {
      if (drawn.has(node)) return;
      const text = node.package === null ? node.name : `${node.name} (${node.members.length})`;
      const x = node.x + Math.max(node.radius, 1.8 / scale) + 3 / scale;
      const box = [x, node.y - height / 2, x + context.measureText(text).width, node.y + height / 2];
      const overlaps = boxes.some((other) => box[0] < other[2] && other[0] < box[2] && box[1] < other[3] && other[1] < box[3]);
      if (overlaps && index >= forced) return;
      drawn.add(node);
      boxes.push(box);
      context.globalAlpha = focus === null || focus.nodes.has(node) ? 1 : 0.3;
      context.strokeStyle = "rgba(255, 255, 255, 0.9)";
      context.strokeText(text, x, node.y);
      context.fillStyle = "#1f2933";
      context.fillText(text, x, node.y);
    });
    context.globalAlpha = 1;
  }

  // ---- Pointer: zoom and pan on the background, drag on a node, click to select.

  function currentEvent(first) {
    return d3.event || first; // d3 5 keeps the event in d3.event; later releases pass it in
  }

  function nodeAt(screenX, screenY) {
    const [x, y] = transform.invert([screenX, screenY]);
    let best = null;
    let bestDistance = Infinity;
    for (const node of shownNodes) {
      const distance = Math.hypot(node.x - x, node.y - y);
      const reach = Math.max(node.radius, 1.8 / transform.k) + 4 / transform.k;
      if (distance <= reach && distance < bestDistance) {
        best = node;
        bestDistance = distance;
      }
    }
    return best;
  }

  function canvasPoint(event) {
    const box = canvas.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  }

  // The view follows the settling layout until the user zooms, pans or picks something.
  let followLayout = true;
  const zoom = d3.zoom().scaleExtent([0.01, 12]).on("zoom", (first) => {
    const event = currentEvent(first);
    transform = event.transform;
    if (event.sourceEvent) followLayout = false;
    requestDraw();
  });

  const drag = d3.drag()
    .container(canvas)
    .subject((first) => {
      const event = currentEvent(first);
      const node = nodeAt(event.x, event.y);
      return node === null ? null : { node, x: event.x, y: event.y };
    })
    .on("start", (first) => {
      const event = currentEvent(first);
      event.subject.node.fx = event.subject.node.x;
      event.subject.node.fy = event.subject.node.y;
    })
    .on("drag", (first) => {
      const event = currentEvent(first);
      const [x, y] = transform.invert([event.x, event.y]);
      event.subject.node.fx = x;
      event.subject.node.fy = y;
      simulation.alphaTarget(0.1).restart();
    })
    .on("end", (first) => {
      const event = currentEvent(first);
      simulation.alphaTarget(0);
      event.subject.node.fx = null;
      event.subject.node.fy = null;
    });

  d3.select(canvas).call(drag).call(zoom).on("dblclick.zoom", null);

  canvas.addEventListener("click", (event) => {
    const node = nodeAt(...canvasPoint(event));
    if (node === null) clearSelection();
    else select(node, node.module);
  });
  canvas.addEventListener("dblclick", (event) => {
    const node = nodeAt(...canvasPoint(event));
    if (node !== null && node.package !== null) expandPackage(node.package);
  });
  canvas.addEventListener("mousemove", (event) => {
    const node = nodeAt(...canvasPoint(event));
    if (node !== state.hovered) {
      state.hovered = node;
      canvas.style.cursor = node === null ? "default" : "pointer";
      requestDraw();
    }
  });

  function transformCentredOn(node, scale) {
    return d3.zoomIdentity.translate(canvasWidth / 2, canvasHeight / 2).scale(scale).translate(-node.x, -node.y);
  }

  function centreOn(node) {
    followLayout = false;
    const scale = Math.max(transform.k, 1);
    d3.select(canvas).transition().duration(450).call(zoom.transform, transformCentredOn(node, scale));
  }

  function fitTransform(nodes) {
    if (nodes.length === 0) return d3.zoomIdentity.translate(canvasWidth / 2, canvasHeight / 2);
    const xs = nodes.map((node) => node.x);
    const ys = nodes.map((node) => node.y);
    const [minX, maxX, minY, maxY] = [Math.min(...xs), Math.max(...xs), Math.min(...ys), Math.max(...ys)];
    const scale = Math.min(2, 0.9 / Math.max((maxX - minX + 40) / canvasWidth, (maxY - minY + 40) / canvasHeight));
    return d3.zoomIdentity.translate(canvasWidth / 2, canvasHeight / 2).scale(scale)
      .translate(-(minX + maxX) / 2, -(minY + maxY) / 2);
  }

  function fit(nodes, animated) {
    followLayout = false;
    const target = fitTransform(nodes);
    if (animated) d3.select(canvas).transition().duration(450).call(zoom.transform, target);
    else d3.select(canvas).call(zoom.transform, target);
  }

  // ---- Selection and the side panel.

  const element = (id) => document.getElementById(id);

  function make(tag, text, className) {
    const made = document.createElement(tag);
    if (text !== undefined) made.textContent = text;
    if (className !== undefined) made.className = className;
    return made;
  }

  function moduleLink(name) {
    const link = make("button", name, "link");
    link.type = "button";
    link.addEventListener("click", () => selectByName(name));
    return link;
  }

  function nameList(modulesToList) {
    const list = make("ul", undefined, "names");
    const add = (from, to) => {
      for (const module of modulesToList.slice(from, to)) {
        const item = make("li");
        item.appendChild(moduleLink(module.name));
        if (!passesFilters(module)) item.appendChild(make("span", " (hidden)", "muted"));
        list.appendChild(item);
      }
    };
    add(0, LIST_LIMIT);
    if (modulesToList.length > LIST_LIMIT) {
      const more = make("li");
      const button = make("button", `show all ${modulesToList.length}`);
      button.type = "button";
      button.addEventListener("click", () => {
        more.remove();
        add(LIST_LIMIT, modulesToList.length);
      });
      more.appendChild(button);
      list.appendChild(more);
    }
    return list;
  }

  function facts(rows) {
    const list = make("dl", undefined, "facts");
    for (const [term, value] of rows) {
      list.appendChild(make("dt", term));
      list.appendChild(make("dd", value));
    }
    return list;
  }

  function hiddenBecause(module) {
    const reasons = [];
    if (!state.showStandardLibrary && module.category === "stdlib" && module.name !== rootName) {
      reasons.push("the standard library is hidden");
    }
    if (state.largestDepthShown !== null && module.name !== rootName &&
        (module.depth === null || module.depth > state.largestDepthShown)) {
      reasons.push("its depth is beyond the depth filter");
    }
    return reasons;
  }

  function showModule(module, body) {
    element("selection-title").textContent = module.name;
    body.appendChild(facts([
      ["kind", module.kind || "unknown"],
      ["depth", module.depth === null ? "not reached" : String(module.depth)],
      ["origin", module.origin === null ? "none" : module.origin],
    ]));
    const reasons = hiddenBecause(module);
    if (reasons.length > 0) body.appendChild(make("p", `Not drawn: ${reasons.join(", and ")}.`, "hint"));
    const packages = enclosingPackages(module.name);
    if (packages.length > 0) {
      const buttons = make("p", "Collapse into one node: ", "buttons");
      packages.forEach((prefix, index) => {
        if (index > 0) buttons.appendChild(document.createTextNode(" \u00b7 "));
        const button = make("button", prefix, "link");
        button.type = "button";
        button.title = `${packageSizes.get(prefix)} modules`;
        button.addEventListener("click", () => collapsePackage(prefix));
        buttons.appendChild(button);
      });
      body.appendChild(buttons);
    }
    body.appendChild(make("h3", "Shortest chain from the root"));
    const chain = chainTo(module);
    if (chain === null) {
      body.appendChild(make("p", "Not reached from the root.", "hint"));
    } else {
      const list = make("ol", undefined, "chain");
      list.id = "chain";
      for (const step of chain) {
        const item = make("li");
        item.appendChild(moduleLink(step.name));
        list.appendChild(item);
      }
      body.appendChild(list);
    }
    const importers = make("h3", `Imported by (${module.importers.length})`);
    importers.style.color = IMPORTER_COLOUR;
    body.appendChild(importers);
    body.appendChild(nameList(module.importers)).id = "importers";
    const imports = make("h3", `Imports (${module.imports.length})`);
    imports.style.color = IMPORT_COLOUR;
    body.appendChild(imports);
    body.appendChild(nameList(module.imports)).id = "imports";
  }

  function showPackage(node, body) {
    element("selection-title").textContent = `${node.package} (package)`;
    body.appendChild(facts([["modules", `${node.members.length} shown of ${packageSizes.get(node.package)}`]]));
    const buttons = make("p", undefined, "buttons");
    const expand = make("button", "Expand");
    expand.type = "button";
    expand.addEventListener("click", () => expandPackage(node.package));
    buttons.appendChild(expand);
    body.appendChild(buttons);
    body.appendChild(make("h3", "Modules"));
    body.appendChild(nameList(node.members)).id = "members";
  }

  function renderSelection() {
    const body = element("selection-body");
    body.replaceChildren();
    element("selection-hint").hidden = state.selectedModule !== null || state.selected !== null;
    if (state.selectedModule !== null) showModule(state.selectedModule, body);
    else if (state.selected !== null) showPackage(state.selected, body);
    else element("selection-title").textContent = "Nothing selected";
  }

  function select(node, module) {
    state.selected = node;
    state.selectedModule = module;
    state.highlightedCycle = null;
    renderSelection();
    requestDraw();
  }

  function clearSelection() {
    state.selected = null;
    state.selectedModule = null;
    state.highlightedCycle = null;
    renderSelection();
    requestDraw();
  }

  // Selects a module by name, opening the packages that hide it, and brings it into view.
  function selectByName(name) {
    const module = modules.get(name);
    if (module === undefined) return false;
    const hiding = enclosingPackages(name).filter((prefix) => collapsed.has(prefix));
    if (hiding.length > 0) {
      for (const prefix of hiding) expandPackage(prefix, false);
    }
    const node = representative.get(module) || null;
    select(node, module);
    if (node !== null) centreOn(node);
    return true;
  }

  function collapsePackage(prefix) {
    collapsed.add(prefix);
    const node = packageNode(prefix);
    node.x = undefined; // placed again where its modules are now
    rebuild();
    if (state.selectedModule !== null && representative.get(state.selectedModule) === node) {
      select(node, null);
    }
    renderPackages();
    simulation.alpha(0.3).restart();
  }

  function expandPackage(prefix, redraw = true) {
    if (!collapsed.delete(prefix)) return;
    const node = packageNode(prefix);
    if (node.x !== undefined) {
      const dx = node.x - node.anchorX;
      const dy = node.y - node.anchorY;
      for (const member of node.members) {
        const memberNode = moduleNode(member);
        if (memberNode.x !== undefined) {
          memberNode.x += dx;
          memberNode.y += dy;
        }
      }
    }
    rebuild();
    if (state.selected === node) select(null, null);
    renderPackages();
    simulation.alpha(0.3).restart();
    if (redraw) requestDraw();
  }

  // ---- Search.

  const searchBox = element("search");
  const suggestions = element("suggestions");
  let suggested = [];
  let activeSuggestion = 0;
  const searchIndex = Array.from(modules.keys(), (name) => [name, name.toLowerCase()]);

  function matches(text) {
    const wanted = text.trim().toLowerCase();
    if (wanted === "") return [];
    const exact = [];
    const prefix = [];
    const lastPart = [];
    const inside = [];
    for (const [name, lower] of searchIndex) {
      if (lower === wanted) exact.push(name);
      else if (lower.startsWith(wanted)) prefix.push(name);
      else if (lower.slice(lower.lastIndexOf(".") + 1).startsWith(wanted)) lastPart.push(name);
      else if (lower.includes(wanted)) inside.push(name);
    }
    const byLength = (a, b) => a.length - b.length || (a < b ? -1 : 1);
    return exact.concat(prefix.sort(byLength), lastPart.sort(byLength), inside.sort(byLength)).slice(0, 12);
  }

  function showSuggestions() {
    suggestions.replaceChildren();
    suggested.forEach((name, index) => {
      const item = make("li", name, index === activeSuggestion ? "active" : undefined);
      item.addEventListener("mousedown", (event) => {
        event.preventDefault(); // keeps the focus, and the list, until the click lands
        pick(name);
      });
      suggestions.appendChild(item);
    });
    suggestions.hidden = suggested.length === 0;
  }

  function pick(name) {
    searchBox.value = name;
    suggested = [];
    showSuggestions();
    selectByName(name);
  }

  searchBox.addEventListener("input", () => {
    suggested = matches(searchBox.value);
    activeSuggestion = 0;
    showSuggestions();
    if (modules.has(searchBox.value.trim())) selectByName(searchBox.value.trim());
  });
  searchBox.addEventListener("keydown", (event) => {
    if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      event.preventDefault();
      if (suggested.length > 0) {
        activeSuggestion = (activeSuggestion + (event.key === "ArrowDown" ? 1 : suggested.length - 1)) % suggested.length;
        showSuggestions();
      }
    } else if (event.key === "Enter") {
      if (suggested.length > 0) pick(suggested[activeSuggestion]);
    } else if (event.key === "Escape") {
      suggested = [];
      showSuggestions();
    }
  });
  searchBox.addEventListener("blur", () => {
    suggested = [];
    showSuggestions();
  });

  // ---- Filters, cycles, packages and the unresolved list.

  const depthSlider = element("depth");
  depthSlider.max = String(largestDepth + 1);
  depthSlider.value = depthSlider.max;

  function showDepthValue() {
    element("depth-value").textContent = state.largestDepthShown === null ? "all" : `≤ ${state.largestDepthShown}`;
  }

  depthSlider.addEventListener("input", () => {
    const value = Number(depthSlider.value);
    state.largestDepthShown = value > largestDepth ? null : value;
    showDepthValue();
    refilter();
  });
  element("stdlib").addEventListener("change", (event) => {
    state.showStandardLibrary = event.target.checked;
    refilter();
  });

  function refilter() {
    rebuild();
    renderSelection();
    simulation.alpha(0.3).restart();
    requestDraw();
  }

  function updateCounts() {
    const shownModules = shownNodes.reduce((sum, node) => sum + node.members.length, 0);
    element("counts").textContent =
      `${shownModules} of ${modules.size} modules shown · ${shownLinks.length} links · ${graphDocument.edges.length} imports`;
  }

  function computeCycles() {
    const included = new Set();
    for (const module of modules.values()) {
      if (state.cyclesEverywhere || module.category === "project") included.add(module);
    }
    state.cycles = findCycles(included);
  }

  function renderCycles() {
    const list = element("cycles-list");
    list.replaceChildren();
    element("cycles-summary").textContent = state.cycles.length === 0
      ? "No cycles."
      : `${state.cycles.length} groups of modules that import each other, largest first.`;
    for (const component of state.cycles) {
      const item = make("li");
      const show = make("button", `${component.length} modules`, "link");
      show.type = "button";
      show.addEventListener("click", () => {
        state.highlightedCycle = component;
        state.selected = null;
        state.selectedModule = null;
        renderSelection();
        fit(component.map((name) => representative.get(modules.get(name))).filter((node) => node !== undefined), true);
        requestDraw();
      });
      item.appendChild(show);
      item.appendChild(document.createTextNode(": "));
      component.forEach((name, index) => {
        if (index > 0) item.appendChild(document.createTextNode(", "));
        item.appendChild(moduleLink(name));
      });
      list.appendChild(item);
    }
  }

  element("cycles-button").addEventListener("click", (event) => {
    state.cyclesShown = !state.cyclesShown;
    event.target.setAttribute("aria-pressed", String(state.cyclesShown));
    element("cycles-section").hidden = !state.cyclesShown;
    state.highlightedCycle = null;
    if (state.cyclesShown) {
      computeCycles();
      renderCycles();
    }
    requestDraw();
  });
  element("cycles-all").addEventListener("change", (event) => {
    state.cyclesEverywhere = event.target.checked;
    state.highlightedCycle = null;
    computeCycles();
    renderCycles();
    requestDraw();
  });
  element("fit-button").addEventListener("click", () => fit(shownNodes, true));

  // The package tree: each package's direct subpackages, largest first.
  const subpackages = new Map();
  for (const prefix of packageSizes.keys()) {
    const dot = prefix.lastIndexOf(".");
    const parent = dot === -1 ? "" : prefix.slice(0, dot);
    if (!subpackages.has(parent)) subpackages.set(parent, []);
    subpackages.get(parent).push(prefix);
  }
  for (const children of subpackages.values()) {
    children.sort((a, b) => packageSizes.get(b) - packageSizes.get(a) || (a < b ? -1 : 1));
  }
  const openInTree = new Set();

  function packageTree(parent) {
    const list = make("ul", undefined, "packages");
    for (const prefix of subpackages.get(parent) || []) {
      const item = make("li");
      const row = make("div", undefined, "package-row");
      if (subpackages.has(prefix)) {
        const disclosure = make("button", openInTree.has(prefix) ? "\u25be" : "\u25b8", "disclosure");
        disclosure.type = "button";
        disclosure.setAttribute("aria-label", `subpackages of ${prefix}`);
        disclosure.addEventListener("click", () => {
          if (!openInTree.delete(prefix)) openInTree.add(prefix);
          renderPackages();
        });
        row.appendChild(disclosure);
      } else {
        row.appendChild(make("span", "", "disclosure"));
      }
      const toggle = make("button", parent === "" ? prefix : prefix.slice(parent.length + 1), "link");
      toggle.type = "button";
      toggle.title = collapsed.has(prefix) ? `expand ${prefix}` : `collapse ${prefix} into one node`;
      toggle.setAttribute("aria-pressed", String(collapsed.has(prefix)));
      toggle.addEventListener("click", () => (collapsed.has(prefix) ? expandPackage(prefix) : collapsePackage(prefix)));
      row.appendChild(toggle);
      row.appendChild(make("span", `${packageSizes.get(prefix)}${collapsed.has(prefix) ? ", collapsed" : ""}`, "muted"));
      item.appendChild(row);
      if (openInTree.has(prefix)) item.appendChild(packageTree(prefix));
      list.appendChild(item);
    }
    return list;
  }

  function renderPackages() {
    const holder = element("packages");
    holder.replaceChildren(subpackages.has("") ? packageTree("") : make("p", "No packages.", "muted"));
  }

  element("collapse-all").addEventListener("click", () => {
    for (const prefix of subpackages.get("") || []) {
      collapsed.add(prefix);
      packageNode(prefix).x = undefined;
    }
    rebuild();
    renderSelection();
    renderPackages();
    simulation.alpha(0.5).restart();
  });
  element("expand-all").addEventListener("click", () => {
    for (const prefix of Array.from(collapsed)) expandPackage(prefix, false);
    requestDraw();
  });

  function renderUnresolved() {
    const unresolved = graphDocument.unresolved || [];
    element("unresolved-title").textContent = `Unresolved imports (${unresolved.length})`;
    const list = element("unresolved");
    for (const entry of unresolved) {
      const item = make("li");
      item.appendChild(make("strong", entry.name));
      item.appendChild(document.createTextNode(" in "));
      item.appendChild(modules.has(entry.importer) ? moduleLink(entry.importer) : make("span", entry.importer));
      if (entry.line !== null && entry.line !== undefined) item.appendChild(make("span", `, line ${entry.line}`, "muted"));
      list.appendChild(item);
    }
    if (unresolved.length === 0) list.appendChild(make("li", "None: every import was found.", "muted"));
  }

  function renderLegend() {
    const legend = element("legend");
    for (const category of CATEGORIES) {
      const item = make("li", category.label);
      item.style.setProperty("--colour", category.colour);
      legend.appendChild(item);
    }
  }

  document.addEventListener("keydown", (event) => {
    if (event.key === "Escape" && event.target === document.body) clearSelection();
  });

  // ---- Start: a first layout within a fixed time, the first picture, then the layout settles on screen.

  element("root-name").textContent = rootName;
  document.title = `${rootName} · modweave`;
  showDepthValue();
  renderLegend();
  renderUnresolved();
  renderPackages();
  renderSelection();
  seedPositions();
  resizeCanvas();
  rebuild();
  const started = performance.now();
  while (performance.now() - started < FIRST_LAYOUT_MILLISECONDS && simulation.alpha() > simulation.alphaMin()) {
    simulation.tick();
  }
  d3.select(canvas).call(zoom.transform, fitTransform(shownNodes));
  draw();

  // For scripts and measurements: when the first picture was drawn, and where a module is on screen.
  window.modweaveExplorer = {
    firstRenderMilliseconds: performance.now(),
    selectedName: () => (state.selectedModule !== null ? state.selectedModule.name : state.selected && state.selected.name),
    canvasPosition(name) {
      const module = modules.get(name);
      const node = module === undefined ? undefined : representative.get(module);
      return node === undefined ? null : [transform.applyX(node.x), transform.applyY(node.y)];
    },
    settled: () => simulation.alpha() < simulation.alphaMin(),
    idle: () => simulation.alpha() < simulation.alphaMin() && d3.active(canvas) === null && !drawPending,
  };

  simulation.on("tick", () => {
    if (followLayout) d3.select(canvas).call(zoom.transform, fitTransform(shownNodes));
    requestDraw();
  }).restart();
  // The header wraps and the panel scrolls, so the canvas changes size without the window doing so.
  new ResizeObserver(resizeCanvas).observe(canvas);
})();
