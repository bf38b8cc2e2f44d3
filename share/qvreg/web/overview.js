import { api, el, size, fmtSize, repoHref } from './api.js';

function stat(id, label, value, shown, title) {
  return el('div', { class: 'stat', id, 'data-value': value, title },
    el('span', { class: 'num' }, shown), el('span', { class: 'label' }, label));
}

function stats(s) {
  return el('section', { class: 'stats', 'aria-label': 'Totals' },
    stat('stat-repositories', 'repositories', s.repositories, s.repositories.toLocaleString()),
    stat('stat-tags', 'tags', s.tags, s.tags.toLocaleString()),
    stat('stat-blobs', 'blobs', s.blobs, s.blobs.toLocaleString()),
    stat('stat-bytes', 'used', s.blob_bytes, fmtSize(s.blob_bytes), `${s.blob_bytes} bytes`));
}

function chart(repos) {
  const max = Math.max(1, ...repos.map(r => r.exclusive_bytes));
  return el('div', { id: 'usage-chart', class: 'chart' }, repos.map(r => {
    const fill = el('span', { class: 'fill' });
    fill.style.width = `${(r.exclusive_bytes / max) * 100}%`;
    return el('a', { class: 'bar', href: repoHref(r.name), 'data-repo': r.name, 'data-bytes': r.exclusive_bytes },
      el('span', { class: 'bar-name', title: r.name }, r.name),
      el('span', { class: 'track' }, fill),
      size(r.exclusive_bytes));
  }));
}

function table(repos) {
  return el('div', { id: 'repo-list', class: 'table-wrap' }, el('table', {},
    el('thead', {}, el('tr', {}, el('th', {}, 'Repository'), el('th', { class: 'n' }, 'Tags'),
      el('th', { class: 'n' }, 'Manifests'), el('th', { class: 'n' }, 'Size'), el('th', { class: 'n' }, 'Held alone'),
      el('th', { class: 'n', title: 'Manifests no tag names, no index lists and nothing is attached to, and what they alone hold' }, 'Untagged'))),
    el('tbody', {}, repos.map(r => el('tr', { 'data-repo': r.name },
      el('td', {}, el('a', { href: repoHref(r.name) }, r.name)),
      el('td', { class: 'n' }, r.tags), el('td', { class: 'n' }, r.manifests),
      el('td', { class: 'n' }, size(r.bytes)), el('td', { class: 'n' }, size(r.exclusive_bytes)),
      el('td', { class: 'n untagged', 'data-count': r.untagged || 0, 'data-bytes': r.untagged_bytes || 0 },
        r.untagged ? [`${r.untagged} · `, size(r.untagged_bytes)] : el('span', { class: 'muted' }, 'none')))))));
}

export async function overview(ctx) {
  const [s, u] = await Promise.allSettled([api('GET', '/v2/_stats'), api('GET', '/v2/_usage')]);
  const root = ctx.root;
  root.append(el('h1', {}, 'Overview'));
  if (s.status === 'fulfilled') {
    const v = s.value;
    root.append(stats(v), el('p', { class: 'muted' }, `Version ${v.version}`,
      v.active_uploads > 0 ? ` · ${v.active_uploads} upload${v.active_uploads === 1 ? '' : 's'} in progress (${fmtSize(v.upload_bytes)})` : ''));
  } else ctx.fail(s.reason);
  if (u.status !== 'fulfilled') return ctx.fail(u.reason);
  const repos = [...u.value.repositories].sort((a, b) => b.exclusive_bytes - a.exclusive_bytes);
  if (!repos.length) return root.append(el('p', { class: 'empty' }, 'No repositories yet.'));
  root.append(
    el('h2', {}, 'Space each repository holds alone'),
    el('p', { class: 'muted' }, 'Bytes of blobs no other repository uses: what deleting it would free.'),
    chart(repos),
    el('h2', {}, 'Repositories'),
    table(repos));
}
