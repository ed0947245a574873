// Opening another file in the same server, by a path typed or picked from the
// open file's folder. The page then starts again on it (a reload keeps the
// tab's session), so nothing of the file before is left on screen.
import { get, post } from './api.js';
import { el } from './util.js';

export class OpenDialog {
  // `unsaved()`: staged edits not saved; `onOpened(notice)`: the file is
  // open, with the engine's notice ('' or what its open found);
  // `ask`, `showError`: as elsewhere.
  constructor({ dialog, form, input, files, folder, cancel, unsaved, onOpened, ask, showError }) {
    Object.assign(this, { dialog, input, files, folder, unsaved, onOpened, ask, showError });
    cancel.addEventListener('click', () => dialog.close());
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.#open(input.value.trim());
    });
  }

  async show() {
    this.input.value = '';
    this.dialog.showModal();
    this.input.focus();
    try {
      const listing = await get('/api/files');
      this.folder.textContent = `In ${listing.folder}${listing.more ? ' (the first 1,000 files)' : ''}`;
      this.files.replaceChildren(...listing.files.map((name) => el('option', { value: name })));
    } catch (e) {
      this.folder.textContent = e.message;
    }
  }

  async #open(path, discard = false) {
    if (!path) {
      this.showError(new Error('type the path of a file to open'));
      return;
    }
    const n = this.unsaved();
    if (n && !discard) {
      this.dialog.close();
      const ok = await this.ask('Drop the unsaved edits?', [
        `${n} staged edit${n === 1 ? ' is' : 's are'} not saved. Open `, el('code', { text: path }), ' and drop them?'], 'Open');
      if (ok) await this.#open(path, true);
      return;
    }
    try {
      const opened = await post('/api/open', { path, discard });
      this.dialog.close();
      this.onOpened(opened.notice);
    } catch (e) {
      this.showError(e);
    }
  }
}
