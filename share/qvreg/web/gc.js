import { api, el, size, fmtMs, confirmAction, busy } from './api.js';

// A collection this page started answers only when it ends; keep its promise so
// that coming back to the view mid-run picks it up again.
let pending = null;

const percent = p => (p.blobs_total > 0 ? Math.min(100, Math.max(0, Math.floor((p.blobs_scanned * 100) / p.blobs_total))) : 0);

export async function collection(ctx) {
  const dryBtn = el('button', { id: 'gc-dry', type: 'button' }, 'Dry run');
  const runBtn = el('button', { id: 'gc-run', type: 'button', class: 'danger' }, 'Collect garbage…');
  const cancelBtn = el('button', { id: 'gc-cancel', type: 'button', disabled: true }, 'Cancel');
  const bar = el('progress', { id: 'gc-progress', max: 100, value: 0 });
  const pct = el('span', { id: 'gc-percent', 'data-value': 0 }, '0 %');
  const phase = el('dd', { id: 'gc-phase' }, '—');
  const fields = { scanned: el('dd', {}, '—'), deleted: el('dd', {}, '—'), freed: el('dd', {}, '—'), elapsed: el('dd', {}, '—') };
  const message = el('p', { id: 'gc-message', role: 'status', class: 'notice' });
  const reportBox = el('div', {});
  ctx.root.append(el('h1', {}, 'Collection'),
    el('p', { class: 'muted' }, 'A collection deletes blobs that no manifest references any more. A dry run only counts them.'),
    el('div', { class: 'actions' }, dryBtn, runBtn, cancelBtn),
    message,
    el('div', { class: 'card' },
      el('div', { class: 'progress' }, bar, pct),
      el('dl', { class: 'facts' }, el('dt', {}, 'Phase'), phase, el('dt', {}, 'Scanned'), fields.scanned,
        el('dt', {}, 'Deleted'), fields.deleted, el('dt', {}, 'Freed'), fields.freed, el('dt', {}, 'Elapsed'), fields.elapsed)),
    reportBox);

  const show = (p, forced) => {
    const v = forced ?? percent(p);
    bar.value = v;
    pct.dataset.value = v;
    pct.textContent = `${v} %`;
    phase.textContent = p.phase || '—';
    fields.scanned.textContent = `${p.blobs_scanned ?? 0} of ${p.blobs_total ?? 0} blobs`;
    fields.deleted.textContent = `${p.blobs_deleted ?? 0} blobs${p.dry_run ? ' (dry run: would delete)' : ''}`;
    fields.freed.replaceChildren(size(p.bytes_freed ?? 0));
    fields.elapsed.textContent = fmtMs(p.elapsed_ms);
  };
  const running = on => {
    dryBtn.disabled = runBtn.disabled = on;
    cancelBtn.disabled = !on;
    cancelBtn.textContent = 'Cancel';
  };
  const report = (r, external) => {
    const text = r.cancelled ? 'Cancelled.' : external ? 'The collection started elsewhere has ended.' : r.dry_run ? 'Dry run finished.' : 'Collection finished.';
    reportBox.replaceChildren(el('section', { id: 'gc-report', class: 'result', 'data-cancelled': String(!!r.cancelled),
      'data-deleted': r.blobs_deleted ?? 0, 'data-bytes': r.bytes_freed ?? 0 },
    el('h2', {}, r.cancelled ? 'Cancelled' : 'Report'), el('p', {}, text),
    el('p', {}, `${r.blobs_deleted ?? 0} blob${r.blobs_deleted === 1 ? '' : 's'} ${r.dry_run ? 'would be deleted' : 'deleted'}, freeing `,
      size(r.bytes_freed ?? 0), r.blobs_total != null ? ` (${r.blobs_total} blobs in all, ${r.blobs_reachable} in use, ${r.blobs_kept} kept).` : '.'),
    r.stale_uploads ? el('p', {}, `${r.stale_uploads} stale upload${r.stale_uploads === 1 ? '' : 's'} ${r.dry_run ? 'found' : 'removed'} (`, size(r.stale_upload_bytes), ').') : '',
    el('p', { class: 'muted' }, `Took ${fmtMs(r.elapsed_ms)}.`)));
  };

  // Follows a run until it ends: until the POST answers when we started it, else
  // until the progress record says it stopped.
  const follow = async post => {
    running(true);
    let done = false, seen = null;
    const poll = async () => {
      while (!done && ctx.live()) {
        try {
          const p = await api('GET', '/v2/_gc');
          if (done || !ctx.live()) return;
          // Before our run registers, the record may still describe the previous one.
          if (p.running) { seen = p; show(p); } else if (!post) {
            done = true;
            const last = p.phase === 'done' ? p : seen || p;
            show(last.cancelled ? { ...last, phase: 'cancelled' } : last, last.cancelled ? undefined : 100);
            report(last, true);
            return running(false);
          }
        } catch (err) {
          ctx.fail(err);
          if (!post) return running(false);
          return;
        }
        await new Promise(r => setTimeout(r, 250));
      }
    };
    if (!post) return poll();
    poll();
    try {
      const r = await post;
      done = true;
      if (!ctx.live()) return;
      // The answer has no scan count: a finished run scanned everything, a cancelled one what we last saw.
      if (r.cancelled) show({ ...(seen || {}), ...r, phase: 'cancelled' });
      else show({ ...r, phase: 'done', blobs_scanned: r.blobs_total }, 100);
      report(r, false);
    } catch (err) {
      done = true;
      if (err.status === 409 && err.code === 'GC_REFUSED') message.textContent = `Not started: ${err.message}`;
      else ctx.fail(err);
    }
    running(false);
    if (ctx.live()) busy(false);
  };

  const start = async dry => {
    if (!dry && !(await confirmAction(['Collect garbage now?', 'Blobs that no manifest references are deleted for good.'], 'Collect'))) return;
    if (!ctx.live() || pending) return;
    message.textContent = '';
    reportBox.replaceChildren();
    show({ phase: 'starting' }, 0);
    busy(true);
    pending = api('POST', `/v2/_gc?dry_run=${dry ? 1 : 0}`);
    pending.catch(() => {}).finally(() => { pending = null; });
    follow(pending);
  };
  dryBtn.addEventListener('click', () => start(true));
  runBtn.addEventListener('click', () => start(false));
  cancelBtn.addEventListener('click', async () => {
    cancelBtn.disabled = true;
    try {
      await api('DELETE', '/v2/_gc');
      cancelBtn.textContent = 'Cancelling…';
    } catch (err) {
      ctx.fail(err);
      cancelBtn.disabled = false;
    }
  });

  if (pending) { follow(pending); return; }
  const p = await api('GET', '/v2/_gc');
  show(p);
  if (p.running) follow(null);
}
