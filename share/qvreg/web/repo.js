import { api, el, size, when, shortDigest, copyButton, confirmAction, busy, repoPath, ApiError } from './api.js';
import { wouldGo, previewParams } from './retention.js';

const isIndex = t => (t.platforms && t.platforms.length > 0) || /index|manifest\.list/.test(t.media_type || '');

// One wrapper per cell keeps the phone layout (label beside content) a two-column grid.
const td = (label, ...kids) => el('td', { 'data-label': label }, el('div', {}, ...kids));

function attachments(refs) {
  if (!refs || !refs.length) return el('span', { class: 'muted referrers', 'data-count': 0 }, 'none');
  const byType = new Map();
  for (const r of refs) byType.set(r.artifact_type || '(no type)', (byType.get(r.artifact_type || '(no type)') || 0) + 1);
  return el('div', { class: 'referrers', 'data-count': refs.length }, `${refs.length} attached`,
    el('ul', { class: 'plain small' }, [...byType].map(([t, n]) => el('li', {}, t, n > 1 ? ` ×${n}` : ''))));
}

async function remove(ctx, repo, t, button) {
  const lines = [`Delete tag “${t.tag}” of ${repo}?`];
  const others = t.also_tagged_total || 0;
  if (others > 0) {
    const more = others > t.also_tagged.length ? ` and ${others - t.also_tagged.length} more` : '';
    lines.push(`The manifest stays: it is also tagged ${t.also_tagged.join(', ')}${more}.`);
  } else if (t.listed) {
    lines.push('The manifest stays: an index in this repository lists it.');
  } else {
    lines.push(`Its manifest sha256:${shortDigest(t.digest)} goes too` +
      (isIndex(t) ? '; its platform images stay (untagged).' : '.'));
    const refs = t.referrers || [];
    if (refs.length) lines.push(`Its ${refs.length === 1 ? 'attachment goes' : `${refs.length} attachments go`} with it (${[...new Set(refs.map(r => r.artifact_type || 'no type'))].join(', ')}).`);
    lines.push('Layers are freed by the next collection unless other images use them.');
  }
  if (!(await confirmAction(lines, 'Delete tag')) || !ctx.live()) return;
  button.disabled = true;
  busy(true);
  try {
    await api('DELETE', `/v2/${repoPath(repo)}/manifests/${encodeURIComponent(t.tag)}`);
  } catch (e) {
    button.disabled = false;
    busy(false);
    return ctx.fail(e);
  }
  ctx.reload();
}

function row(ctx, repo, t) {
  const doomed = wouldGo(repo, t.tag);
  const digest = el('code', { class: 'digest', title: t.digest }, shortDigest(t.digest));
  // Over plain HTTP the client must be told not to insist on TLS, or the command fails as copied.
  const insecure = location.protocol === 'http:' ? '--tls-verify=false ' : '';
  const pullText = `podman pull ${insecure}${location.host}/${repo}:${t.tag}`;
  const pull = el('code', { class: 'pull' }, pullText);
  const platforms = isIndex(t) && el('ul', { class: 'plain platforms' }, (t.platforms || []).map(p =>
    el('li', { class: 'platform', 'data-platform': p.platform, 'data-size': p.size, title: p.digest },
      el('span', {}, p.platform), ' ', size(p.size))));
  return el('tr', { 'data-tag': t.tag, 'data-digest': t.digest, 'data-size': t.size, 'data-pushed': t.pushed, class: doomed ? 'doomed' : null },
    td('Tag', el('strong', { class: 'tag' }, t.tag), doomed && el('span', { class: 'badge' }, 'would go'),
      t.also_tagged && t.also_tagged.length > 0 && el('div', { class: 'muted small' }, 'also ', t.also_tagged.join(', '))),
    td('Digest', digest, ' ', copyButton(t.digest, digest)),
    td('Pushed', when(t.pushed)),
    td('Size', size(t.size), platforms && el('div', { class: 'muted small' }, `index of ${t.platforms.length} platform${t.platforms.length === 1 ? '' : 's'}`), platforms),
    td('Attachments', attachments(t.referrers)),
    td('Pull', pull, ' ', copyButton(pullText, pull)),
    td('', el('button', { type: 'button', class: 'delete danger small', 'data-tag': t.tag,
      onclick: e => remove(ctx, repo, t, e.currentTarget) }, 'Delete')));
}

export async function repository(ctx, name) {
  if (name == null) throw new ApiError(0, 'NAME_INVALID', 'malformed repository address');
  ctx.root.append(el('p', { class: 'crumbs' }, el('a', { href: '#/' }, 'Overview'), ' / repository'),
    el('h1', { id: 'repo-name' }, name));
  const data = await api('GET', `/v2/_repository/${repoPath(name)}`);
  ctx.setName(name);
  const tags = [...data.tags].sort((a, b) => b.pushed - a.pushed);
  const doomed = tags.filter(t => wouldGo(name, t.tag)).length;
  const p = previewParams();
  const total = data.tags_total ?? tags.length;
  ctx.root.append(el('p', { class: 'muted' }, total > tags.length
    ? `The newest ${tags.length} of ${total} tags.`
    : `${tags.length} tag${tags.length === 1 ? '' : 's'}, newest first.`));
  if (doomed) {
    ctx.root.append(el('p', { class: 'notice' }, `${doomed} tag${doomed === 1 ? '' : 's'} marked “would go” by the retention preview ` +
      `(keep ${p.keep_n}, ${p.days} days${p.include_latest ? ', latest included' : ''}). `, el('a', { href: '#/retention' }, 'Review')));
  }
  if (!tags.length) return ctx.root.append(el('p', { class: 'empty' }, 'This repository has no tags.'));
  ctx.root.append(el('div', { class: 'table-wrap' }, el('table', { id: 'tags', class: 'reflow' },
    el('thead', {}, el('tr', {}, ['Tag', 'Digest', 'Pushed', 'Size', 'Attachments', 'Pull', ''].map(h => el('th', {}, h)))),
    el('tbody', {}, tags.map(t => row(ctx, name, t))))));
}
