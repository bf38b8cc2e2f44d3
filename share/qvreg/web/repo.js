import { api, el, size, when, shortDigest, copyButton, confirmAction, busy, repoPath, ApiError } from './api.js';
import { wouldGo, digestWouldGo, previewParams } from './retention.js';

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
    const along = alongWith(t.referrers);
    if (along) lines.push(along);
    lines.push('Layers are freed by the next collection unless other images use them.');
  }
  if (!(await confirmAction(lines, 'Delete tag')) || !ctx.live()) return;
  if (await deleteWith(ctx, button, `/v2/${repoPath(repo)}/manifests/${encodeURIComponent(t.tag)}`)) ctx.reload();
}

// Sends a confirmed deletion, the page busy meanwhile; true once it is done.
async function deleteWith(ctx, button, path) {
  button.disabled = true;
  busy(true);
  try {
    await api('DELETE', path);
    return true;
  } catch (e) {
    button.disabled = false;
    busy(false);
    ctx.fail(e);
    return false;
  }
}

// What deleting a manifest takes along, as the confirmation says it.
function alongWith(refs) {
  return refs && refs.length
    ? `Its ${refs.length === 1 ? 'attachment goes' : `${refs.length} attachments go`} with it (${[...new Set(refs.map(r => r.artifact_type || 'no type'))].join(', ')}).`
    : null;
}

async function removeManifest(ctx, repo, m, button) {
  const lines = [`Delete manifest sha256:${shortDigest(m.digest)} of ${repo}?`, 'No tag names it.'];
  const along = alongWith(m.referrers);
  if (along) lines.push(along);
  lines.push('Layers are freed by the next collection unless other images use them.');
  if (!(await confirmAction(lines, 'Delete manifest')) || !ctx.live()) return;
  if (await deleteWith(ctx, button, `/v2/${repoPath(repo)}/manifests/${encodeURIComponent(m.digest)}`)) ctx.reload();
}

// A manifest no tag names: an index's platform image, an attachment, or what a tag that was
// pushed again left behind (which the untagged retention rule removes).
function untaggedRow(ctx, repo, m) {
  const digest = el('code', { class: 'digest', title: m.digest }, shortDigest(m.digest));
  const what = m.listed ? el('span', {}, 'an index lists it: it stays while the index does')
    : m.subject ? el('span', {}, `attached to sha256:${shortDigest(m.subject)}`, m.artifact_type ? ` (${m.artifact_type})` : '')
      : el('span', { class: 'muted' }, 'nothing names it');
  const doomed = digestWouldGo(repo, m.digest);
  return el('tr', { 'data-digest': m.digest, 'data-size': m.size, 'data-written': m.written, class: doomed ? 'doomed' : null },
    td('Digest', digest, ' ', copyButton(m.digest, digest), doomed && el('span', { class: 'badge' }, 'would go')),
    td('Written', when(m.written)),
    td('Size', size(m.size)),
    td('What it is', what),
    td('Attachments', attachments(m.referrers)),
    td('', m.listed ? '' : el('button', { type: 'button', class: 'delete danger small', 'data-digest': m.digest,
      onclick: e => removeManifest(ctx, repo, m, e.currentTarget) }, 'Delete')));
}

async function removeRepository(ctx, name, data, button) {
  const tags = data.tags_total ?? data.tags.length;
  const loose = data.untagged_total ?? (data.untagged || []).length;
  const lines = [`Delete repository ${name}?`,
    `Its ${tags} tag${tags === 1 ? '' : 's'} and every manifest in it go` +
      (loose ? ` (${loose} of them untagged)` : '') + ', with their attachments.',
    `Repositories below it (${name}/…) stay.`,
    'Layers are freed by the next collection unless other repositories use them.'];
  if (!(await confirmAction(lines, 'Delete repository')) || !ctx.live()) return;
  if (await deleteWith(ctx, button, `/v2/_repository/${repoPath(name)}`)) location.hash = '#/';
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
  return el('tr', { 'data-tag': t.tag, 'data-digest': t.digest, 'data-size': t.size, 'data-pushed': t.pushed,
    'data-pulled': t.pulled ?? '', class: doomed ? 'doomed' : null },
    td('Tag', el('strong', { class: 'tag' }, t.tag), doomed && el('span', { class: 'badge' }, 'would go'),
      t.immutable && el('span', { class: 'badge immutable', title: 'It cannot be pushed over or deleted' }, 'immutable'),
      t.also_tagged && t.also_tagged.length > 0 && el('div', { class: 'muted small' }, 'also ', t.also_tagged.join(', '))),
    td('Digest', digest, ' ', copyButton(t.digest, digest)),
    td('Pushed', when(t.pushed)),
    td('Last pulled', t.pulled ? when(t.pulled) : el('span', { class: 'muted' }, 'not since recorded')),
    td('Size', size(t.size), platforms && el('div', { class: 'muted small' }, `index of ${t.platforms.length} platform${t.platforms.length === 1 ? '' : 's'}`), platforms),
    td('Attachments', attachments(t.referrers)),
    td('Pull', pull, ' ', copyButton(pullText, pull)),
    td('', t.immutable ? '' : el('button', { type: 'button', class: 'delete danger small', 'data-tag': t.tag,
      onclick: e => remove(ctx, repo, t, e.currentTarget) }, 'Delete')));
}

export async function repository(ctx, name) {
  if (name == null) throw new ApiError(0, 'NAME_INVALID', 'malformed repository address');
  ctx.root.append(el('p', { class: 'crumbs' }, el('a', { href: '#/' }, 'Overview'), ' / repository'),
    el('h1', { id: 'repo-name' }, name));
  const data = await api('GET', `/v2/_repository/${repoPath(name)}`);
  ctx.setName(name);
  const tags = [...data.tags].sort((a, b) => b.pushed - a.pushed);
  const untagged = data.untagged || [];
  const doomed = tags.filter(t => wouldGo(name, t.tag)).length;
  const p = previewParams();
  const total = data.tags_total ?? tags.length;
  ctx.root.append(el('p', { class: 'muted' }, total > tags.length
    ? `The newest ${tags.length} of ${total} tags.`
    : `${tags.length} tag${tags.length === 1 ? '' : 's'}, newest first.`));
  if (doomed) {
    ctx.root.append(el('p', { class: 'notice' }, `${doomed} tag${doomed === 1 ? '' : 's'} marked “would go” by the retention preview ` +
      (p.rules ? '(the configured rules). ' : `(keep ${p.keep_n}, ${p.days} days${p.include_latest ? ', latest included' : ''}). `),
      el('a', { href: '#/retention' }, 'Review')));
  }
  ctx.root.append(tags.length ? el('div', { class: 'table-wrap' }, el('table', { id: 'tags', class: 'reflow' },
    el('thead', {}, el('tr', {}, ['Tag', 'Digest', 'Pushed', 'Last pulled', 'Size', 'Attachments', 'Pull', ''].map(h => el('th', {}, h)))),
    el('tbody', {}, tags.map(t => row(ctx, name, t)))))
    : el('p', { class: 'empty' }, 'This repository has no tags.'));
  if (untagged.length) {
    const total = data.untagged_total ?? untagged.length;
    ctx.root.append(el('h2', {}, 'Untagged manifests'),
      el('p', { class: 'muted' }, total > untagged.length ? `The newest ${untagged.length} of ${total}.` : `${total}, newest first.`),
      el('div', { class: 'table-wrap' }, el('table', { id: 'untagged', class: 'reflow' },
        el('thead', {}, el('tr', {}, ['Digest', 'Written', 'Size', 'What it is', 'Attachments', ''].map(h => el('th', {}, h)))),
        el('tbody', {}, untagged.map(m => untaggedRow(ctx, name, m))))));
  }
  ctx.root.append(el('div', { class: 'actions' }, el('button', { id: 'delete-repository', type: 'button', class: 'danger',
    onclick: e => removeRepository(ctx, name, data, e.currentTarget) }, 'Delete repository…')));
}
