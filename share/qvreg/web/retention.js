import { api, el, size, fmtSize, shortDigest, repoHref, confirmAction, busy } from './api.js';

// The latest successful preview outlives the view: the repository view marks its tags,
// and Apply runs with exactly these values. Cleared by Apply.
let last = null;

const key = (repo, tag) => `${repo}\n${tag}`;
export const wouldGo = (repo, tag) => !!last && last.keys.has(key(repo, tag));
export const digestWouldGo = (repo, digest) => !!last && last.digests.has(key(repo, digest));
export const previewParams = () => last && last.params;

const query = p => `keep_n=${p.keep_n}&days=${p.days}&include_latest=${p.include_latest ? 1 : 0}&untagged_days=${p.untagged_days}`;
const same = (a, b) => !!a && !!b && a.keep_n === b.keep_n && a.days === b.days &&
  a.include_latest === b.include_latest && a.untagged_days === b.untagged_days;
const plural = (n, w) => `${n} ${w}${n === 1 ? '' : 's'}`;

function numberField(id, label, hint) {
  return el('div', { class: 'field' },
    el('label', { for: id }, label),
    el('input', { id, name: id, type: 'number', min: 0, max: 2147483647, step: 1, required: true, inputmode: 'numeric' }),
    el('span', { class: 'hint' }, hint));
}

// Entries grouped by repository, in the order the server listed them, each group headed by
// its repository and how many (of what) it has.
function grouped(id, entries, what, item) {
  const groups = new Map();
  for (const d of entries) {
    if (!groups.has(d.repository)) groups.set(d.repository, []);
    groups.get(d.repository).push(d);
  }
  return el('div', { id, class: 'groups' }, [...groups].map(([repo, list]) => el('section', { class: 'group' },
    el('h3', {}, el('a', { href: repoHref(repo) }, repo), el('span', { class: 'muted small' }, ` ${plural(list.length, what)}`)),
    el('ul', { class: 'plain' }, list.map(item)))));
}

const withAttachments = d => d.referrers && d.referrers.length
  ? el('span', { class: 'muted small' }, `, with ${plural(d.referrers.length, 'attachment')}`) : '';

const ruleOf = d => d.rule != null ? el('span', { class: 'muted small rule' }, `, rule ${d.rule}`) : '';

function tagList(id, entries) {
  return grouped(id, entries, 'tag', d => el('li', { 'data-repo': d.repository, 'data-tag': d.tag },
    el('strong', {}, d.tag), ' ', el('code', { title: d.digest }, shortDigest(d.digest)),
    d.age_days != null ? el('span', { class: 'muted small' }, ` ${plural(d.age_days, 'day')} old`) : '',
    ruleOf(d), withAttachments(d)));
}

// Under configured rules: each rule, what it governs, what it takes and (previewed) frees.
function rulesTable(r, freed) {
  if (!r.rules) return '';
  return el('div', { class: 'table-wrap' }, el('table', { id: 'rules-table', class: 'reflow' },
    el('thead', {}, el('tr', {}, ['Rule', 'Repositories', 'Governs', 'Tags that go', 'Untagged manifests', freed ? 'Frees' : ''].map(h => el('th', {}, h)))),
    el('tbody', {}, r.rules.map(x => {
      const f = freed && freed.find(y => y.rule === x.rule);
      return el('tr', { 'data-rule': x.rule, 'data-deleted': x.tags_deleted },
        el('td', { 'data-label': 'Rule' }, String(x.rule)),
        el('td', { 'data-label': 'Repositories' }, el('code', {}, x.repositories.join(', '))),
        el('td', { 'data-label': 'Governs' }, plural(x.repos_scanned, 'repository').replace(/ys$/, 'ies')),
        el('td', { 'data-label': 'Tags that go' }, `${x.tags_deleted} of ${x.tags_total}`),
        el('td', { 'data-label': 'Untagged manifests' }, String(x.manifests_deleted)),
        el('td', { 'data-label': freed ? 'Frees' : '' }, f ? size(f.bytes_freed) : ''));
    }))));
}

function counts(r, verb) {
  return el('p', {}, `${plural(r.tags_deleted, 'tag')} of ${r.tags_total} ${verb}, ${r.tags_kept} kept` +
    (r.latest_protected ? `, ${r.latest_protected} “latest” spared` : '') +
    (r.manifests_deleted != null ? `; ${plural(r.manifests_deleted, 'untagged manifest')} ${verb}` : '') +
    ` (${plural(r.repos_scanned, 'repository').replace(/ys$/, 'ies')} scanned).`);
}

// The untagged manifests the rule takes, grouped by repository.
function manifestList(id, entries) {
  if (!entries || !entries.length) return '';
  return grouped(id, entries, 'untagged manifest', d => el('li', { 'data-repo': d.repository, 'data-digest': d.digest },
    el('code', { title: d.digest }, shortDigest(d.digest)),
    el('span', { class: 'muted small' }, ` written ${plural(d.age_days, 'day')} ago`),
    withAttachments(d)));
}

function previewSection(data) {
  const r = data.report;
  return el('section', { class: 'result' },
    el('h2', {}, 'Preview'),
    counts(r, 'would go'),
    rulesTable(r, data.rules),
    data.truncated ? el('p', { class: 'notice' }, `Only the first ${r.deleted.length} are listed.`) : '',
    el('p', { id: 'preview-bytes', 'data-value': data.bytes_freed },
      `${data.truncated ? 'All the tags that would go' : 'These tags'}${data.rules ? ', with the untagged manifests,' : ''} alone use `, size(data.bytes_freed),
      ` (${plural(data.blobs_freed, 'blob')}): the next collection after Apply frees them.`),
    r.deleted.length || (r.untagged || []).length ? '' : el('p', { class: 'empty' }, 'Nothing would go.'),
    tagList('preview-list', r.deleted),
    manifestList('preview-untagged', r.untagged));
}

function reportSection(r) {
  const failed = r.deleted.length - r.tags_deleted;
  return el('section', { id: 'retention-report', class: 'result', 'data-deleted': r.tags_deleted },
    el('h2', {}, 'Retention applied'),
    counts(r, 'deleted'),
    rulesTable(r, null),
    failed > 0 ? el('p', { class: 'notice' }, `${plural(failed, 'selected tag')} could not be deleted.`) : '',
    el('p', {}, 'Their layers are freed by the next ', el('a', { href: '#/gc' }, 'collection'), '.'),
    tagList('retention-deleted', r.deleted),
    manifestList('retention-untagged', r.untagged));
}

// Keeps what a preview found, for Apply and for the repository view's marks.
function remember(params, data) {
  last = { params, data, keys: new Set(data.report.deleted.map(d => key(d.repository, d.tag))),
    digests: new Set((data.report.untagged || []).map(d => key(d.repository, d.digest))) };
}

// The rules of config.json, previewed and applied as they are (the maintenance timer runs
// them too); the form below stays for a pass over the whole store with other values.
function rulesCard(ctx, form, out, act) {
  const previewBtn = el('button', { id: 'rules-preview', type: 'button' }, 'Preview the rules');
  const applyBtn = el('button', { id: 'rules-apply', type: 'button', class: 'danger', disabled: true }, 'Apply the rules…');
  form.before(el('div', { id: 'rules', class: 'card' },
    el('p', {}, 'Retention rules are configured in config.json: each repository is governed by the first rule that matches it, ' +
      'and a tag goes only when none of its rule’s keep clauses keeps it. The maintenance timer runs them.'),
    el('div', { class: 'actions' }, previewBtn, applyBtn)));
  previewBtn.addEventListener('click', async () => {
    await act([previewBtn], async () => {
      const data = await api('GET', '/v2/_retention_preview');
      remember({ rules: true }, data);
      out.replaceChildren(previewSection(data));
    });
    previewBtn.disabled = false;
  });
  applyBtn.addEventListener('click', async () => {
    if (!(last && last.params.rules)) return;
    const r = last.data.report;
    const ok = await confirmAction([`Delete ${plural(r.tags_deleted, 'tag')}` +
      (r.manifests_deleted ? ` and ${plural(r.manifests_deleted, 'untagged manifest')}` : '') + ' by the configured rules?',
    'Tags pushed since the preview may be selected too.'], 'Delete tags');
    if (!ok || !ctx.live()) return;
    await act([applyBtn, previewBtn], async () => {
      const report = await api('POST', '/v2/_retention');
      last = null;
      out.replaceChildren(reportSection(report));
    });
    previewBtn.disabled = false;
  });
}

export async function retention(ctx) {
  const keep = numberField('keep_n', 'Keep the newest N tags of each repository', '0: no count rule');
  const days = numberField('days', 'Remove tags pushed at least this many days ago', '0: no age rule');
  const untagged = numberField('untagged_days', 'Remove untagged manifests written at least this many days ago',
    '0: keep them. Never an index’s platform images, nor an attachment of an image that stays');
  const latest = el('input', { id: 'include_latest', name: 'include_latest', type: 'checkbox' });
  const previewBtn = el('button', { id: 'preview', type: 'submit' }, 'Preview');
  const applyBtn = el('button', { id: 'apply', type: 'button', class: 'danger', disabled: true }, 'Apply…');
  const form = el('form', { class: 'card', novalidate: true }, keep, days, untagged,
    el('div', { class: 'field check' }, latest, el('label', { for: 'include_latest' }, 'Let tags named “latest” go too')),
    el('div', { class: 'actions' }, previewBtn, applyBtn));
  const out = el('div', {});
  ctx.root.append(el('h1', {}, 'Retention'),
    el('p', { class: 'muted' }, 'A tag goes when it is beyond the newest N of its repository or when it is old enough; ' +
      'an untagged manifest (what a tag pushed again leaves behind) when the untagged rule is on and it is old enough. Preview first: Apply runs with the previewed values.'),
    form, out);
  const [keepIn, daysIn, untaggedIn] = [keep, days, untagged].map(f => f.querySelector('input'));

  const read = () => {
    if (!form.checkValidity()) return null;
    return { keep_n: Number(keepIn.value), days: Number(daysIn.value), include_latest: latest.checked,
      untagged_days: Number(untaggedIn.value) };
  };
  const sync = () => {
    applyBtn.disabled = !same(read(), last && last.params);
    const rulesApply = document.getElementById('rules-apply');
    if (rulesApply) rulesApply.disabled = !(last && last.params.rules);
  };
  const fill = p => {
    keepIn.value = p.keep_n;
    daysIn.value = p.days;
    untaggedIn.value = p.untagged_days || 0;
    latest.checked = !!p.include_latest;
  };

  // One request at a time: its buttons held, failures shown, the buttons given back after.
  const act = async (held, request) => {
    busy(true);
    for (const b of held) b.disabled = true;
    try {
      await request();
    } catch (err) {
      ctx.fail(err);
    }
    previewBtn.disabled = false;
    sync();
    if (ctx.live()) busy(false);
  };
  form.addEventListener('input', sync);
  form.addEventListener('change', sync);
  form.addEventListener('submit', async e => {
    e.preventDefault();
    const p = read();
    if (!p) return form.reportValidity();
    await act([previewBtn], async () => {
      const data = await api('GET', `/v2/_retention_preview?${query(p)}`);
      remember(p, data);
      out.replaceChildren(previewSection(data));
    });
  });
  applyBtn.addEventListener('click', async () => {
    const p = read();
    if (!same(p, last && last.params)) return sync();
    const n = last.data.report.tags_deleted;
    const m = last.data.report.manifests_deleted || 0;
    const ok = await confirmAction([`Delete ${plural(n, 'tag')}${m ? ` and ${plural(m, 'untagged manifest')}` : ''}?`,
      `Keep ${p.keep_n}, ${p.days} days, “latest” ${p.include_latest ? 'included' : 'spared'}` +
        (p.untagged_days ? `, untagged manifests after ${plural(p.untagged_days, 'day')}` : '') +
        '. Tags pushed since the preview may be selected too.'],
    'Delete tags');
    if (!ok || !ctx.live()) return;
    await act([applyBtn, previewBtn], async () => {
      const report = await api('POST', `/v2/_retention?${query(p)}`);
      last = null;
      out.replaceChildren(reportSection(report));
    });
  });

  let defaults = { keep_n: 0, days: 0, include_latest: false, untagged_days: 0 };
  try {
    defaults = (await api('GET', '/v2/_usage')).retention || defaults;
  } catch (err) {
    ctx.fail(err);
  }
  if (defaults.policies > 0) rulesCard(ctx, form, out, act);
  if (last) {
    if (!last.params.rules) fill(last.params);
    else fill(defaults);
    out.replaceChildren(previewSection(last.data));
  } else fill(defaults);
  sync();
}
