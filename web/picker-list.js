// A virtualised tree of rows: only the rows in (or near) the viewport exist in the DOM, each
// absolutely placed over a spacer as tall as the whole list. Rows have a fixed height per kind,
// so positions come from sums, never from measuring. Focus stays on the list itself and the
// active row is named by aria-activedescendant, since rows come and go as it scrolls.

const OVERSCAN_PX = 240;

export class VirtualList {
  /**
   * @param {HTMLElement} root  The scrolling element (role tree, focusable).
   * @param {{heights: Object<string, number>, draw: (row: HTMLElement, item: object) => void,
   *          onOpen: (item: object, how: string) => void, onToggle: (item: object) => void,
   *          onDrawn: (visible: object[]) => void}} options
   *   `draw` fills a row for an item (called again whenever the row is redrawn), `onOpen`
   *   runs for Enter or a click, `onToggle` for expanding or collapsing a family, `onDrawn`
   *   after each frame that placed rows, with
   *   the items of the rows now in the DOM.
   */
  constructor(root, options) {
    this.root = root;
    this.options = options;
    this.items = [];
    this.tops = [0];
    this.rows = new Map();  // item key -> row element
    this.ids = new Map();   // item key -> element id, stable while the page lives
    this.active = -1;
    this.frame = 0;
    this.viewHeight = root.clientHeight;
    this.spacer = document.createElement('div');
    this.spacer.className = 'list-spacer';
    root.append(this.spacer);
    root.addEventListener('scroll', () => this.schedule(), {passive: true});
    root.addEventListener('keydown', (event) => this.onKey(event));
    root.addEventListener('click', (event) => this.onClick(event));
    new ResizeObserver(([entry]) => {
      this.viewHeight = entry.contentRect.height;
      this.schedule();
    }).observe(root);
  }

  /** New items (keeps the active row when its key is still there). */
  setItems(items) {
    const activeKey = this.items[this.active]?.key;
    this.items = items;
    this.tops = [0];
    for (const item of items) this.tops.push(this.tops.at(-1) + this.options.heights[item.kind]);
    this.spacer.style.height = this.tops.at(-1) + 'px';
    this.active = Math.max(-1, items.findIndex((item) => item.key === activeKey));
    if (this.active < 0 && items.length) this.active = 0;
    this.redrawAll = true;
    this.schedule();
  }

  /** Redraws the rows on screen in the next frame (fonts arrived, the sample changed). */
  refresh() {
    this.redrawAll = true;
    this.schedule();
  }

  schedule() {
    if (!this.frame) this.frame = requestAnimationFrame(() => this.draw());
  }

  indexAt(y) {
    let lo = 0;
    let hi = this.items.length - 1;
    while (lo < hi) {
      const mid = lo + hi + 1 >> 1;
      if (this.tops[mid] <= y) lo = mid;
      else hi = mid - 1;
    }
    return lo;
  }

  // One read of the scroll position, then writes only: nothing here forces a layout.
  draw() {
    this.frame = 0;
    const top = this.root.scrollTop;
    const first = this.indexAt(Math.max(0, top - OVERSCAN_PX));
    const last = this.indexAt(top + this.viewHeight + OVERSCAN_PX);
    const keep = new Set();
    const visible = [];
    for (let i = first; i <= last && i < this.items.length; i++) {
      const item = this.items[i];
      keep.add(item.key);
      visible.push(item);
      let row = this.rows.get(item.key);
      const fresh = !row;
      if (fresh) {
        row = document.createElement('div');
        row.id = this.idOf(item.key);
        row.setAttribute('role', 'treeitem');
        this.rows.set(item.key, row);
      }
      row.dataset.index = i;
      row.className = 'row ' + item.kind + (i === this.active ? ' active' : '');
      row.style.transform = `translateY(${this.tops[i]}px)`;
      row.style.height = this.options.heights[item.kind] + 'px';
      if (fresh || this.redrawAll) this.options.draw(row, item);
      if (fresh) this.root.append(row);
    }
    for (const [key, row] of this.rows) {
      if (keep.has(key)) continue;
      row.remove();
      this.rows.delete(key);
    }
    this.redrawAll = false;
    const activeRow = this.rows.get(this.items[this.active]?.key);
    if (activeRow) this.root.setAttribute('aria-activedescendant', activeRow.id);
    else this.root.removeAttribute('aria-activedescendant');
    this.options.onDrawn(visible);
  }

  idOf(key) {
    if (!this.ids.has(key)) this.ids.set(key, 'row-' + this.ids.size);
    return this.ids.get(key);
  }

  setActive(index) {
    if (!this.items.length) return;
    this.active = Math.min(Math.max(index, 0), this.items.length - 1);
    const top = this.tops[this.active];
    const bottom = this.tops[this.active + 1];
    if (top < this.root.scrollTop) this.root.scrollTop = top;
    else if (bottom > this.root.scrollTop + this.viewHeight) {
      this.root.scrollTop = bottom - this.viewHeight;
    }
    this.schedule();
  }

  /** Makes the item with this key active and scrolls it into view. */
  reveal(key) {
    const index = this.items.findIndex((item) => item.key === key);
    if (index >= 0) this.setActive(index);
  }

  onKey(event) {
    const item = this.items[this.active];
    const page = Math.max(1, Math.floor(this.viewHeight / this.options.heights.family) - 1);
    const moves = {ArrowDown: 1, ArrowUp: -1, PageDown: page, PageUp: -page};
    if (event.key in moves) {
      this.setActive(this.active + moves[event.key]);
    } else if (event.key === 'Home' || event.key === 'End') {
      this.setActive(event.key === 'Home' ? 0 : this.items.length - 1);
    } else if (event.key === 'ArrowRight' && item?.kind === 'family') {
      if (item.expanded) this.setActive(this.active + 1);
      else this.options.onToggle(item);
    } else if (event.key === 'ArrowLeft' && item) {
      if (item.kind === 'family' && item.expanded) this.options.onToggle(item);
      else if (item.kind === 'face') this.reveal(item.parentKey);
    } else if (event.key === 'Enter' && item) {
      this.options.onOpen(item, 'key');
    } else {
      return;
    }
    event.preventDefault();
  }

  /** The index in the items of what `row` shows, or -1 for a row of an item gone. Rows show
   * the items of the last frame: new items may have come since, at other indices. */
  indexOfRow(row) {
    const index = Number(row.dataset.index);
    const key = [...this.rows].find(([, shown]) => shown === row)?.[0];
    return this.items[index]?.key === key ? index :
      this.items.findIndex((item) => item.key === key);
  }

  onClick(event) {
    if (event.target.closest('button')) return;  // a control in a row does its own thing
    const row = event.target.closest('.row');
    if (!row) return;
    const index = this.indexOfRow(row);
    if (index < 0) return;
    this.active = index;
    this.root.focus({preventScroll: true});
    this.options.onOpen(this.items[index], 'click');
    this.schedule();
  }
}
